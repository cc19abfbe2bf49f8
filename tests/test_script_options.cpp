// The command line of the two programs: every option --help lists is taken by that program and
// no other, the options that end the parsing (--help, --version), values and their errors, and
// the version line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/bench.h"
#include "script/script.h"

namespace {

struct Parsed {
  bool ok = false;
  cli::Options options;
  std::string error;
};

Parsed parse(std::vector<std::string> args, bool headless = true) {
  args.insert(args.begin(), "program");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  Parsed p;
  p.ok =
      cli::parseOptions(static_cast<int>(argv.size()), argv.data(), p.options, p.error, headless);
  return p;
}

cli::InfoRequest info(std::vector<std::string> args) {
  args.insert(args.begin(), "program");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  return cli::infoRequest(static_cast<int>(argv.size()), argv.data());
}

// The options of the "Options:" part of a help text: name, and whether a value follows.
std::vector<std::pair<std::string, bool>> listedOptions(const std::string &help) {
  std::vector<std::pair<std::string, bool>> listed;
  std::istringstream in(help);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("  --", 0) != 0) continue;
    std::istringstream words(line);
    std::string name, second;
    words >> name >> second;
    // A value is written in capitals right after the name: "--script FILE".
    const bool value = !second.empty() && std::all_of(second.begin(), second.end(), [](char c) {
      return (c >= 'A' && c <= 'Z');
    });
    listed.emplace_back(name, value);
  }
  return listed;
}

TEST(CommandLine, EachProgramTakesExactlyTheOptionsItsHelpLists) {
  const std::string cliHelp = cli::helpText("tessock-cli", false);
  const std::string guiHelp = cli::helpText("tessock", true);
  const auto cliListed = listedOptions(cliHelp);
  const auto guiListed = listedOptions(guiHelp);
  ASSERT_GE(cliListed.size(), 10u);
  ASSERT_GE(guiListed.size(), 10u);

  auto valueFor = [](const std::string &name) -> std::string {
    if (name == "--sim-config") return "board.json";
    if (name == "--card") return "317";
    if (name == "--from" || name == "--to") return "2026-12-07";
    if (name == "--verdict") return "PASSED";
    if (name == "--bias-timeout" || name == "--channel-timeout" || name == "--long-check")
      return "90";
    if (name == "--by") return "station";
    return "/some/path";
  };
  auto listedIn = [](const auto &listed, const std::string &name) {
    for (const auto &[n, v] : listed)
      if (n == name) return true;
    return false;
  };
  for (bool headless : {true, false}) {
    const auto &listed = headless ? cliListed : guiListed;
    const auto &other = headless ? guiListed : cliListed;
    for (const auto &[name, value] : listed) {
      std::vector<std::string> args = {name};
      if (value) args.push_back(valueFor(name));
      // The history filters only qualify a history command.
      if (name == "--card" || name == "--from" || name == "--to" || name == "--verdict" ||
          name == "--check" || name == "--by" || name == "--csv" || name == "--store-times")
        args.push_back("--history");
      if (name == "--partial-runs") args.push_back("--yield");  // it qualifies the yield only
      Parsed p = parse(args, headless);
      EXPECT_TRUE(p.ok) << name << " headless=" << headless << ": " << p.error;
      // Without its value the option is refused, naming it.
      if (value) {
        Parsed bare = parse({name}, headless);
        EXPECT_FALSE(bare.ok) << name;
        EXPECT_EQ(bare.error, "option " + name + " needs a value");
      }
    }
    // What only the other program lists is unknown here.
    for (const auto &[name, value] : other) {
      if (listedIn(listed, name)) continue;
      Parsed p = parse({name}, headless);
      EXPECT_FALSE(p.ok) << name << " headless=" << headless;
      EXPECT_EQ(p.error, name + (headless ? " is an option of the desktop program tessock only"
                                          : " is an option of the headless program tessock-cli "
                                            "only"));
    }
  }
  EXPECT_TRUE(listedIn(cliListed, "--virtual-time"));
  EXPECT_FALSE(listedIn(guiListed, "--virtual-time"));
  EXPECT_TRUE(listedIn(guiListed, "--acquire"));
  EXPECT_FALSE(listedIn(cliListed, "--acquire"));
  EXPECT_TRUE(listedIn(guiListed, "--history-window"));
  EXPECT_FALSE(listedIn(cliListed, "--history-window"));
  for (const std::string &help : {cliHelp, guiHelp}) {
    EXPECT_EQ(help.rfind("usage: ", 0), 0u);
    std::istringstream in(help);
    std::string line;
    while (std::getline(in, line)) EXPECT_LE(line.size(), 100u) << line;
  }
}

TEST(CommandLine, OptionsReachTheBenchOptions) {
  Parsed p = parse({"--settings", "s.ini", "--ui-dir", "ui", "--conversion-file", "c.txt",
                    "--quickusb-lib", "/x/libq.so", "--script", "run.tsk", "--virtual-time",
                    "--module", "QUSB-1", "--probe"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.bench.settingsPath, "s.ini");
  EXPECT_EQ(p.options.bench.uiDir, "ui");
  EXPECT_EQ(p.options.bench.conversionFile, "c.txt");
  EXPECT_EQ(p.options.bench.quickusbLib, "/x/libq.so");
  EXPECT_EQ(p.options.script, "run.tsk");
  EXPECT_TRUE(p.options.virtualTime);
  EXPECT_FALSE(p.options.sim);
  EXPECT_EQ(p.options.bench.moduleName, "QUSB-1");
  EXPECT_TRUE(p.options.probe);
  EXPECT_EQ(parse({"--module", ""}).error, "--module needs a module name of 1 to 511 characters");
  EXPECT_FALSE(p.options.bench.unattended.on);

  // The give-up policy: off unless asked for, its durations positive numbers of seconds.
  Parsed u = parse({"--unattended", "--bias-timeout", "120", "--long-check", "61.5"}, false);
  ASSERT_TRUE(u.ok) << u.error;
  EXPECT_TRUE(u.options.bench.unattended.on);
  EXPECT_EQ(u.options.bench.unattended.biasSeconds, 120.0);
  EXPECT_EQ(u.options.bench.unattended.channelSeconds, 60.0);
  EXPECT_EQ(u.options.bench.unattended.longCheckSeconds, 61.5);
  for (const char *bad : {"0", "-5", "1e9", "12s", "nan", ""})
    EXPECT_EQ(parse({"--channel-timeout", bad}).error,
              std::string("option --channel-timeout needs a number of seconds above 0, not '") +
                  bad + "'")
        << bad;

  Parsed g = parse({"--acquire", "--sim-config", "dead.json", "--history-window"}, false);
  ASSERT_TRUE(g.ok) << g.error;
  EXPECT_TRUE(g.options.acquire);
  EXPECT_TRUE(g.options.historyWindow);
  EXPECT_FALSE(p.options.historyWindow);
  EXPECT_TRUE(g.options.sim);
  EXPECT_EQ(g.options.bench.simConfig, "dead.json");
  EXPECT_EQ(g.options.bench.quickusbLib, app::simulatorLibraryPath());

  Parsed both = parse({"--sim", "--quickusb-lib", "/x/libq.so"});
  EXPECT_FALSE(both.ok);
  EXPECT_EQ(both.error, "--sim and --quickusb-lib exclude each other");
  Parsed positional = parse({"run.tsk"});
  EXPECT_FALSE(positional.ok);
  EXPECT_EQ(positional.error, "unknown option run.tsk");
}

TEST(CommandLine, HelpAndVersionEndTheParsing) {
  Parsed h = parse({"--sim", "--help", "--bogus"});
  EXPECT_TRUE(h.ok);
  EXPECT_TRUE(h.options.help);
  EXPECT_TRUE(parse({"-h"}).options.help);
  Parsed v = parse({"--version", "--script"}, false);
  EXPECT_TRUE(v.ok);
  EXPECT_TRUE(v.options.version);
  // An error before them still is one.
  Parsed bad = parse({"--bogus", "--help"});
  EXPECT_FALSE(bad.ok);
  EXPECT_FALSE(bad.options.help);
  // --script's value is the script's name, even when it looks like an option.
  Parsed named = parse({"--script", "--help"});
  ASSERT_TRUE(named.ok);
  EXPECT_FALSE(named.options.help);
  EXPECT_EQ(named.options.script, "--help");
}

TEST(CommandLine, InfoRequestBeforeAnythingElse) {
  EXPECT_EQ(info({}), cli::InfoRequest::None);
  EXPECT_EQ(info({"--sim", "--help"}), cli::InfoRequest::Help);
  EXPECT_EQ(info({"-h"}), cli::InfoRequest::Help);
  EXPECT_EQ(info({"--version", "--help"}), cli::InfoRequest::Version);
  // Qt's own options are passed over; the values of the program's options are skipped.
  EXPECT_EQ(info({"-platform", "offscreen", "--version"}), cli::InfoRequest::Version);
  EXPECT_EQ(info({"--script", "--help"}), cli::InfoRequest::None);
  EXPECT_EQ(info({"--settings", "--version", "--sim"}), cli::InfoRequest::None);
  EXPECT_EQ(info({"--settings"}), cli::InfoRequest::None);
}

TEST(CommandLine, VersionLine) {
  EXPECT_EQ(cli::versionLine("tessock-cli", "0.1.0", "0123456789ab"),
            "tessock-cli 0.1.0 (commit 0123456789ab)\n");
  EXPECT_EQ(cli::versionLine("tessock", "2.3.4", ""), "tessock 2.3.4\n");
}

TEST(CommandLine, BuildTreeProgramsUseTheBuildAndSourceTrees) {
  // This test program runs from the build folder: the panel files of the source tree and the
  // simulated bench of the build, as before any install.
  namespace fs = std::filesystem;
  EXPECT_TRUE(fs::equivalent(app::defaultUiDir(), fs::path(TESSOCK_SOURCE_DIR) / "ui"));
  EXPECT_TRUE(fs::equivalent(app::simulatorLibraryPath(),
                             fs::path(TESSOCK_BINARY_DIR) / "libquickusb_sim.so"));
}

}  // namespace
