// The simulated bench as a QuickUSB module: discovery and settings, the command decoder fed
// by the port strobes (raw and through the program's own writer), the JTAG access port, the
// board configurations and the time the calls cost.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "../sim/testing/harness.h"
#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "support/test_env.h"

namespace {

simtest::SimLibrary &lib() {
  static simtest::SimLibrary l(testenv::simLibrary());
  return l;
}

std::string dataFile(const std::string &name) { return testenv::sourceDir() + "/data/sim/" + name; }

TEST(SimModule, DiscoveryFitsTheProgramsSevenByteListAndRefusesLess) {
  simtest::Bench b(lib());
  char names[16];
  std::memset(names, 'x', sizeof names);
  EXPECT_EQ(lib().findModules(names, 6), 0);
  EXPECT_EQ(names[0], 'x');  // nothing written when the name does not fit
  ASSERT_NE(lib().findModules(names, 7), 0);
  EXPECT_STREQ(names, "QUSB-0");
  EXPECT_EQ(names[7], 'x');
  EXPECT_EQ(lib().findModules(nullptr, 512), 0);
  QuickUsbHandle_t h = 0;
  char wrong[] = "QUSB-1";
  EXPECT_EQ(lib().open(&h, wrong), 0);
  EXPECT_EQ(lib().open(nullptr, names), 0);
}

TEST(SimModule, SettingsPortsAndBoardNumber) {
  simtest::Bench b(lib());
  uint16_t v = 0;
  ASSERT_NE(lib().writeSetting(b.dev, 1, 1), 0);
  ASSERT_NE(lib().writeSetting(b.dev, 2, 0xF0), 0);
  ASSERT_NE(lib().writeSetting(b.dev, 3, 0xAA), 0);
  EXPECT_EQ(lib().writeSetting(b.dev, 4, 7), 0);  // read-only
  lib().readSetting(b.dev, 2, &v);
  EXPECT_EQ(v, 0xF0);
  lib().readSetting(b.dev, 4, &v);
  EXPECT_EQ(v, 0x0001);
  lib().readSetting(b.dev, 5, &v);
  EXPECT_EQ(v, 0x0012);
  EXPECT_EQ(lib().readSetting(b.dev, 17, &v), 0);
  EXPECT_EQ(lib().readSetting(0, 1, &v), 0);
  // Board number on port E bits 5..7 (inputs), the read gate bit 3 as the module drives it.
  EXPECT_EQ(b.readPort(simtest::Bench::kPortE), 3u << 5);
  b.writePort(simtest::Bench::kPortE, 0x08);
  EXPECT_EQ(b.readPort(simtest::Bench::kPortE), (3u << 5) | 0x08);
  lib().writePortDir(b.dev, simtest::Bench::kPortE, 0xFF);  // bits 5..7 now outputs
  EXPECT_EQ(b.readPort(simtest::Bench::kPortE), 0x08);
  // SPI port 4 answers with what was written to it.
  uint8_t out[2] = {0x5A, 0xC3}, in[2] = {};
  uint16_t n = 2;
  ASSERT_NE(lib().writeSpi(b.dev, 4, out, 2), 0);
  ASSERT_NE(lib().readSpi(b.dev, 4, in, &n), 0);
  EXPECT_EQ(in[0], 0x5A);
  EXPECT_EQ(in[1], 0xC3);
  EXPECT_EQ(lib().writeSpi(b.dev, 4, out, 0), 0);
  EXPECT_EQ(lib().writePort(b.dev, 9, out, 1), 0);
}

TEST(SimFpga, CommandsSentOnThePortsLandInTheRegisters) {
  simtest::Bench b(lib());
  b.command(0x20, 0x40, 0x00);
  b.command(0x30, 0x20, 0x00);
  b.command(0x40, 0xA0, 0x12);
  b.command(0x63, 0x12, 0x34);
  b.command(0x50, 0x30, 0x10);
  b.command(0x80, 0x80, 0x80);
  b.command(0x6B, 0x01, 0x02);
  b.command(0x6C, 0x0B, 0xB8);
  b.command(0x70, 0x01, 0x00);
  b.command(0x71, 0x00, 0xFF);
  b.command(0x90, 0x05, 0x81);
  b.command(0xA0, 0xFF, 0xFF);
  QuickUsbSimState s = b.state();
  EXPECT_EQ(s.readoutMode, 0x40);
  EXPECT_EQ(s.fibre, 0x20);
  EXPECT_EQ(s.singleValue[0], 0xA0);
  EXPECT_EQ(s.singleValue[1], 0x12);
  EXPECT_EQ(s.sourceValue[2], 0x1234);
  EXPECT_EQ(s.selA[2], 0x10);
  EXPECT_EQ(s.selB[7], 0x80);
  EXPECT_EQ(s.modulationOffset, 0x0102);
  EXPECT_EQ(s.testVoltage, 3000);
  EXPECT_EQ(s.modulationDivider, 256);
  EXPECT_EQ(s.modulationMultiplication, 0xFF);
  EXPECT_EQ(s.supplyReduce, 0x05);
  EXPECT_EQ(s.sourceMask, 0x81);
  EXPECT_EQ(s.adcCompensation[0], 0xFF);
  EXPECT_EQ(s.commands, 12u);
  EXPECT_EQ(s.malformedFrames, 0u);
  // The FPGA reset puts every register back to its power-on value.
  b.command(0x10, 0x10, 0x00);
  s = b.state();
  EXPECT_EQ(s.fpgaResets, 1u);
  EXPECT_EQ(s.readoutMode, 0x20);
  EXPECT_EQ(s.sourceValue[2], 0);
  EXPECT_EQ(s.testVoltage, 0);
}

TEST(SimFpga, MalformedFramesAndUnknownCommandsAreCountedAndIgnored) {
  simtest::Bench b(lib());
  using simtest::Bench;
  lib().writePortDir(b.dev, Bench::kPortC, 0xFF);
  lib().writePortDir(b.dev, Bench::kPortE, 0x0B);
  auto frame = [&](std::initializer_list<uint8_t> bytes) {
    b.writePort(Bench::kPortE, 0x0A);
    for (uint8_t x : bytes) {
      b.writePort(Bench::kPortC, x);
      b.writePort(Bench::kPortE, 0x0B);
      b.writePort(Bench::kPortE, 0x0A);
    }
    b.writePort(Bench::kPortE, 0x08);
  };
  frame({0x6C, 0x0F});              // two bytes
  frame({0x6C, 0x0F, 0xA0, 0x00});  // four bytes
  frame({});                        // none
  std::vector<uint8_t> many(5000, 0x6C);
  b.writePort(Bench::kPortE, 0x0A);
  for (uint8_t x : many) {
    b.writePort(Bench::kPortC, x);
    b.writePort(Bench::kPortE, 0x0B);
    b.writePort(Bench::kPortE, 0x0A);
  }
  b.writePort(Bench::kPortE, 0x08);
  // Strobes outside a frame are no bytes at all.
  b.writePort(Bench::kPortC, 0x90);
  b.writePort(Bench::kPortE, 0x09);
  b.writePort(Bench::kPortE, 0x08);
  frame({0x77, 0x01, 0x02});  // unknown command
  frame({0x50, 0x90, 0x01});  // no channel 9
  frame({0x20, 0x55, 0x00});  // no such read-out mode
  QuickUsbSimState s = b.state();
  EXPECT_EQ(s.malformedFrames, 4u);
  EXPECT_EQ(s.rejectedCommands, 3u);
  EXPECT_EQ(s.testVoltage, 0);
  EXPECT_EQ(s.readoutMode, 0x20);
  frame({0x6C, 0x0F, 0xA0});
  EXPECT_EQ(b.state().testVoltage, 0x0FA0);
}

TEST(SimJtag, TheProgramsSequenceReadsTheConfiguredIdentification) {
  simtest::Bench b(lib());
  using simtest::Bench;
  int writes = 0;
  auto write = [&](uint8_t v) {
    b.writePort(Bench::kPortA, v);
    ++writes;
  };
  auto read = [&]() -> uint32_t {
    uint8_t dir = 0;
    lib().readPortDir(b.dev, Bench::kPortA, &dir);
    lib().writePortDir(b.dev, Bench::kPortA, static_cast<uint8_t>((dir & ~0x08) | 0x07));
    auto clocks = [&](int n, uint8_t low) {
      for (int i = 0; i < n; ++i) {
        write(low);
        write(static_cast<uint8_t>(low | 1));
      }
    };
    clocks(10, 0x00);
    clocks(2, 0x02);
    clocks(2, 0x00);
    clocks(2, 0x04);
    clocks(3, 0x00);
    clocks(3, 0x02);
    clocks(2, 0x00);
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i) {
      write(0x00);
      write(0x01);
      r = (r >> 1) | (static_cast<uint32_t>((b.readPort(Bench::kPortA) >> 3) & 1) << 31);
    }
    write(0x00);
    return r;
  };
  EXPECT_EQ(read(), 0x0A5E1093u);
  EXPECT_EQ(writes, 113);
  QuickUsbSimState s = b.state();
  EXPECT_EQ(s.tapState, QUSBSIM_TAP_SHIFT_DR);
  EXPECT_EQ(s.instruction, 0x03);
  // From Shift-DR the ten leading clocks keep shifting: a second read is not the identification.
  EXPECT_NE(read(), 0x0A5E1093u);
  // Five clocks with TMS high bring any state back to Test-Logic-Reset.
  for (int i = 0; i < 5; ++i) {
    write(0x02);
    write(0x03);
  }
  EXPECT_EQ(b.state().tapState, QUSBSIM_TAP_RESET);
  EXPECT_EQ(read(), 0x0A5E1093u);
}

TEST(SimConfig, BuiltInDefaultsAreTheGoodBoardFile) {
  simtest::Bench b(lib());
  const std::string builtIn = lib().describeConfig();
  ASSERT_NE(lib().configure(dataFile("good.json").c_str()), 0) << lib().lastError();
  EXPECT_EQ(std::string(lib().describeConfig()), builtIn);
}

TEST(SimConfig, EveryShippedConfigurationLoads) {
  simtest::Bench b(lib());
  int defects = 0;
  for (const auto &e : std::filesystem::directory_iterator(testenv::sourceDir() + "/data/sim")) {
    if (e.path().extension() != ".json") continue;
    EXPECT_NE(lib().configure(e.path().c_str()), 0) << lib().lastError();
    defects += e.path().filename() != "good.json";
  }
  EXPECT_GE(defects, 10);
}

TEST(SimConfig, MalformedConfigurationsAreRefusedNamingFileAndField) {
  testenv::TempDir dir;
  simtest::Bench b(lib(), dataFile("otr2_down.json").c_str());
  const std::string before = lib().describeConfig();
  const struct {
    const char *text;
    const char *field;
  } cases[] = {
      {"{\"channels\": {\"adcTop\": [3950, 3950]}}", "'channels.adcTop'"},
      {"{\"board\": {\"boxNumber\": 8}}", "'board.boxNumber'"},
      {"{\"board\": {\"jtagId\": \"0xZZ\"}}", "'board.jtagId'"},
      {"{\"status\": {\"temp3\": true}}", "'status.temp3'"},
      {"{\"modes\": {\"cfcTest\": 1}}", "'modes.cfcTest'"},
      {"{\"fibres\": {\"crcA\": -1}}", "'fibres.crcA'"},
      {"{\"channels\": {\"dead\": [0]}}", "'channels.dead[0]'"},
      {"{\"module\": {\"name\": \"QUSB 0\"}}", "'module.name'"},
      {"{\"module\": {\"others\": [\"QUSB-1\", \"Q 2\"]}}", "'module.others[1]'"},
      {"{\"module\": {\"others\": [\"QUSB-1\", \"QUSB-0\"]}}", "'module.others'"},
      {"{\"channels\": {\"dacJump\": {\"channel\": 2}}}", "'channels.dacJump.by'"},
      {"{\"expect\": [\"TEST STATUS TEMP_1 OK STATE\"]}", "'expect'"},
      {"[1, 2]", "'(top level)'"},
      {"{\"seed\": ", "not valid JSON"},
  };
  for (const auto &c : cases) {
    const std::string path = dir.file("bad.json");
    testenv::writeFile(path, c.text);
    EXPECT_EQ(lib().configure(path.c_str()), 0) << c.text;
    const std::string e = lib().lastError();
    EXPECT_NE(e.find(path), std::string::npos) << e;
    EXPECT_NE(e.find(c.field), std::string::npos) << e;
    EXPECT_EQ(std::string(lib().describeConfig()), before) << "kept the previous board";
  }
  EXPECT_EQ(lib().configure(dir.file("absent.json").c_str()), 0);
  EXPECT_NE(std::string(lib().lastError()).find("absent.json"), std::string::npos);
  // No regular file, or one far larger than any configuration: refused unread.
  testenv::FifoGuard fifo(dir.file("pipe.json"));
  testenv::writeFile(dir.file("huge.json"), "{\"name\": \"" + std::string(1u << 20, 'x') + "\"}");
  const struct {
    std::string path;
    const char *reason;
  } unread[] = {
      {fifo.path(), "it is a named pipe (FIFO)"},
      {"/dev/zero", "it is a character device"},
      {dir.path().string(), "it is a folder"},
      {dir.file("huge.json"), "it is larger than 1048576 bytes"},
  };
  for (const auto &c : unread) {
    EXPECT_EQ(lib().configure(c.path.c_str()), 0) << c.path;
    EXPECT_EQ(std::string(lib().lastError()), c.path + ": cannot be read: " + c.reason);
    EXPECT_EQ(std::string(lib().describeConfig()), before) << "kept the previous board";
  }
  EXPECT_FALSE(fifo.fired()) << "the bench waited on the pipe";
  // No file: back to the default board.
  ASSERT_NE(lib().configure(nullptr), 0);
  EXPECT_EQ(nlohmann::json::parse(lib().describeConfig())["name"], "good");
}

TEST(SimConfig, DefaultBoardComesFromTheEnvironmentWhenSet) {
  simtest::Bench b(lib());
  ::setenv("TESSOCK_SIM_CONFIG", dataFile("otr2_down.json").c_str(), 1);
  EXPECT_NE(lib().configure(nullptr), 0);
  EXPECT_EQ(nlohmann::json::parse(lib().describeConfig())["name"], "otr2_down");
  ::setenv("TESSOCK_SIM_CONFIG", "/nonexistent/board.json", 1);
  EXPECT_EQ(lib().configure(""), 0);
  EXPECT_NE(std::string(lib().lastError()).find("/nonexistent/board.json"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(lib().describeConfig())["name"], "otr2_down");
  ::unsetenv("TESSOCK_SIM_CONFIG");
  EXPECT_NE(lib().configure(nullptr), 0);
  EXPECT_EQ(nlohmann::json::parse(lib().describeConfig())["name"], "good");
}

TEST(SimTime, EveryCallIsChargedToTheAttachedClock) {
  simtest::Bench b(lib());
  const double t0 = b.clock.t;
  b.readPort(simtest::Bench::kPortE);
  EXPECT_NEAR(b.clock.t - t0, 125e-6, 1e-12);
  b.mode(0x40);
  const double t1 = b.clock.t;
  std::vector<uint8_t> buf(1024);
  unsigned long n = 1024;
  lib().readData(b.dev, buf.data(), &n);
  // A bulk read: the module's latency (0 to 1 ms, seeded) and then the bytes at 40 MB/s.
  EXPECT_GE(b.clock.t - t1, 125e-6 + 1024 / 40e6);
  EXPECT_LE(b.clock.t - t1, 125e-6 + 1e-3 + 1024 / 40e6);
  // A command is fifteen calls.
  const double t2 = b.clock.t;
  b.command(0x6C, 0, 0);
  EXPECT_NEAR(b.clock.t - t2, 15 * 125e-6, 1e-12);
}

TEST(SimTime, ModuleUnpluggedAfterItsTimeFailsEveryCall) {
  simtest::Bench b(lib(), dataFile("unplugged.json").c_str());
  char names[16] = {};
  EXPECT_NE(lib().findModules(names, 7), 0);
  b.wait(119.0);
  EXPECT_NE(b.block(1000).size(), 0u);
  b.wait(1.0);
  EXPECT_EQ(lib().findModules(names, 7), 0);
  EXPECT_EQ(b.block(1000).size(), 0u);
  uint16_t v = 0;
  EXPECT_EQ(lib().readSetting(b.dev, 1, &v), 0);
  QuickUsbHandle_t h = 0;
  EXPECT_EQ(lib().open(&h, names), 0);
  EXPECT_NE(b.state().moduleGone, 0);
}

// The operator's board swap: the board powered off goes quiet behind a module that stays open,
// another board goes in only while it is off, and comes up at its own power-on state under the
// bench settings the FPGA still holds; a refused file leaves the board that was in.
TEST(SimBoardSwap, QuietWhileOffThenTheNextBoardInTheSameModule) {
  simtest::Bench b(lib(), dataFile("good.json").c_str());
  b.mode(0x40);
  b.linkedSources(0, 4, 7, false);
  b.wait(30.0);
  auto card = [&] {
    const std::vector<uint8_t> blk = b.block(1024);
    return blk.empty() ? -1L : static_cast<long>(simtest::long32(blk, 514) & 0xFFFF);
  };
  EXPECT_EQ(card(), 317);

  testenv::TempDir dir;
  const std::string made = dir.file("next.json");
  std::ofstream(made) << R"({"board": {"cardNumber": 318}, "module": {"name": "ELSEWHERE"},
                            "channels": {"initialDac": [1, 2, 3, 4, 5, 6, 7, 8]}})";
  EXPECT_EQ(lib().insertBoard(made.c_str()), 0) << "a powered board cannot be pulled";
  EXPECT_NE(std::string(lib().lastError()).find("power it off"), std::string::npos);

  ASSERT_NE(lib().boardPower(0), 0);
  b.wait(2.0);
  const std::vector<uint8_t> quiet = b.block(1024);
  ASSERT_EQ(quiet.size(), 1024u) << "the module still answers";
  EXPECT_EQ(simtest::long32(quiet, 514), 0u) << "no card number, no frame count";
  EXPECT_EQ(simtest::long32(quiet, 514 + 48), 0u) << "no status words";
  EXPECT_GT(simtest::long32(quiet, 514 + 4), 0u) << "the FPGA still counts its dumps";
  EXPECT_EQ(b.state().boardPowered, 0);

  const std::string broken = dir.file("broken.json");
  std::ofstream(broken) << R"({"board": {"cardNumber": "x"}})";
  EXPECT_EQ(lib().insertBoard(broken.c_str()), 0);
  ASSERT_NE(lib().insertBoard(made.c_str()), 0) << lib().lastError();
  ASSERT_NE(lib().boardPower(1), 0);
  b.wait(1.0);
  EXPECT_EQ(card(), 318);
  const QuickUsbSimState s = b.state();
  EXPECT_EQ(s.boardPowered, 1);
  EXPECT_EQ(s.moduleOpen, 1);
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(s.dac[c], c + 1) << "the new board's counters at power-on";
    EXPECT_EQ(s.selA[c], 1u << 4) << "the FPGA kept the bench settings";
    EXPECT_GT(s.currentAmps[c], 0.0) << "and the new board is driven by them";
  }
  char names[16] = {};
  ASSERT_NE(lib().findModules(names, 7), 0);
  EXPECT_STREQ(names, "QUSB-0") << "the module is the bench's, not the board file's";

  // A broken file refused while the board is off leaves the board that was in.
  ASSERT_NE(lib().boardPower(0), 0);
  EXPECT_EQ(lib().insertBoard(broken.c_str()), 0);
  ASSERT_NE(lib().boardPower(1), 0);
  EXPECT_EQ(card(), 318);
}

// The program itself against the simulated bench: start-up, its command writer and its JTAG
// read land where the bench says they do.
TEST(SimWithProgram, StartUpCommandsAndJtagThroughTheProgram) {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  app::BenchOptions o;
  o.uiDir = testenv::uiDir();
  o.quickusbLib = testenv::simLibrary();
  o.simConfig = dataFile("good.json");
  o.settingsPath = dir.file("Corvath.ini");
  app::Bench bench(clock, o);
  bench.StartUp();
  ASSERT_EQ(bench.loadOutcome, 0);
  const auto &info = bench.rt.control(bench.panels.MainPanel, ctl::Main::InfoBox).lines;
  EXPECT_EQ(info, (std::vector<std::string>{"QUSB-0", " WORDWIDE :            0x1",
                                            " DATA ADDRESS SETTING: 0xF0", " FIFO setting : 0xAA",
                                            " FPGATYPE : 0x1", " CPUCONFIG : 0x12"}));
  EXPECT_EQ(bench.rt.GetCtrlValI(bench.panels.MainPanel, ctl::Main::BoardNumber), 3);

  QuickUsbSimState s{};
  s.size = sizeof s;
  const uint32_t before = (lib().inspect(&s), s.commands);
  bench.fpga.WriteCommandFPGA(0x6C, 0x0B, 0xB8);
  bench.fpga.WriteCommandFPGA(0x65, 0xAB, 0xCD);
  bench.fpga.WriteCommandFPGA(0x90, 0x02, 0x40);
  lib().inspect(&s);
  EXPECT_EQ(s.commands, before + 3);
  EXPECT_EQ(s.testVoltage, 3000);
  EXPECT_EQ(s.sourceValue[4], 0xABCD);
  EXPECT_EQ(s.supplyReduce, 0x02);
  EXPECT_EQ(s.sourceMask, 0x40);
  EXPECT_EQ(s.malformedFrames, 0u);
  bench.rt.Commit(bench.panels.OptionsPanel, ctl::Options::ResetAdcCompensation);
  lib().inspect(&s);
  EXPECT_EQ(s.adcCompensationCommands, 2u);
  EXPECT_EQ(s.adcCompensation[0], 0x00);

  bench.rt.Commit(bench.panels.OptionsPanel, ctl::Options::ReadJtag);
  EXPECT_EQ(bench.rt.GetCtrlValD(bench.panels.OptionsPanel, ctl::Options::JtagId), 0x0A5E1093);
  bench.ShutDown();
}

}  // namespace
