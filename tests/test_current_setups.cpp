// Current setups: data lines of the linearity file, the table they fill and the sixteen rings
// that list them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "app/bench.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/current_setups.h"
#include "rt/format.h"
#include "support/test_env.h"

namespace {

// A data line: current, selectors 4 and 7, source values base .. base + 7, limits, wait 3.
std::string dataLine(double current, int base = 1000) {
  return rt::format("%e 4 7 %d %d %d %d %d %d %d %d 12 0.5 1.5 3\n", current, base, base + 1,
                    base + 2, base + 3, base + 4, base + 5, base + 6, base + 7);
}

TEST(CurrentSetupLine, FifteenValuesInStoredOrder) {
  hw::CurrentSetup s;
  ASSERT_TRUE(functest::ParseCurrentSetupLine(
      "\t1.5e-06 3 6 100 200 300 400 500 600 700 65535 9 0.25 2.75 11 trailing words\r", s));
  EXPECT_FLOAT_EQ(s.Current, 1.5e-06f);
  EXPECT_EQ(s.Mux, 3);
  EXPECT_EQ(s.Mux_1, 6);
  EXPECT_EQ(s.Dac[0], 100);
  EXPECT_EQ(s.Dac[7], 65535);
  EXPECT_EQ(s.IntegrationTime, 9);
  EXPECT_EQ(s.WaitingTime, 11);  // the fifteenth value of the text
  EXPECT_FLOAT_EQ(s.TolerenceMin, 0.25f);
  EXPECT_FLOAT_EQ(s.TolerenceMax, 2.75f);

  for (const char *line :
       {"", "Current Mux Mux_1 Dac1 ...", "# 1e-6 4 7 1 2 3 4 5 6 7 8 12 .5 1 3",
        "1e-6 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5", "1e-6,4,7,1,2,3,4,5,6,7,8,12,0.5,1.5,3",
        "1e-6 4 7 1 2 3 4 5 6 7 99999999999 12 0.5 1.5 3",
        // The current must be a finite positive number of amperes.
        "nan 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3", "inf 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3",
        "-infinity 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3", "-1e-3 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3",
        "0 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3", "-0.0 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3",
        "1e39 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3"})
    EXPECT_FALSE(functest::ParseCurrentSetupLine(line, s)) << line;
  EXPECT_EQ(s.Mux, 3);  // untouched by lines that are no data lines
}

struct RecordingOperator : rt::Operator {
  std::vector<std::string> messages;
  std::vector<std::string> titles;
  rt::FileSelect answer = rt::FileSelect::Cancelled;
  std::string answerPath;
  void messagePopup(const std::string &, const std::string &message) override {
    messages.push_back(message);
  }
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &request, std::string &path) override {
    titles.push_back(request.title);
    path = answerPath;
    return answer;
  }
};

class CurrentSetupRings : public ::testing::Test {
 protected:
  void SetUp() override {
    bench = std::make_unique<app::Bench>(
        clock, app::BenchOptions{testenv::uiDir(), dir.file("none.so"), "", dir.file("s.ini")});
    bench->rt.setOperator(&op);
    bench->StartUp();
  }

  int load(const std::string &content) {
    testenv::writeFile(dir.file("Card_17.txt"), content);
    setPath(dir.file("Card_17.txt"));
    return bench->shell.currentSetups().LoadCurrentSetupIntoTheRings();
  }
  void setPath(const std::string &path) {
    bench->rt.SetCtrlVal(bench->panels.TabBData, ctl::TabBData::LinearityFile, path);
  }
  // Labels of one ring; every item's value must be its index.
  std::vector<std::string> labels(int panel, int ring) {
    std::vector<std::string> out;
    const std::vector<rt::RingItem> &items = bench->rt.control(panel, ring).items;
    for (size_t k = 0; k < items.size(); ++k) {
      EXPECT_EQ(items[k].value, static_cast<double>(k));
      out.push_back(items[k].label);
    }
    return out;
  }
  // The sixteen rings list the same items and select `selected`; returns the labels.
  std::vector<std::string> ringLabels(double selected) {
    const ctl::Panels &p = bench->panels;
    const std::vector<std::string> first = labels(p.TestCFCPanel, ctl::Test::CurrentSelect[0]);
    for (int ch = 0; ch < 8; ++ch) {
      EXPECT_EQ(labels(p.TestCFCPanel, ctl::Test::CurrentSelect[ch]), first);
      EXPECT_EQ(labels(p.OptionsPanel, ctl::Options::CurrentSelect[ch]), first);
      EXPECT_EQ(bench->rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::CurrentSelect[ch]), selected);
      EXPECT_EQ(bench->rt.GetCtrlValD(p.OptionsPanel, ctl::Options::CurrentSelect[ch]), selected);
    }
    return first;
  }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  RecordingOperator op;
  std::unique_ptr<app::Bench> bench;
};

TEST_F(CurrentSetupRings, ConsecutiveDuplicatesAreListedOnce) {
  std::string text = "Linearity file of card 17\n\nCurrent Mux ...\n";
  int base = 0;
  for (double c : {1e-10, 1e-9, 1e-9, 1e-8, 1e-7, 1e-9, 1e-6, 1e-5, 1e-5, 1.1e-4})
    text += dataLine(c, base += 10);
  ASSERT_EQ(load(text), 0);
  EXPECT_EQ(ringLabels(7),
            (std::vector<std::string>{"1.000e-10", "1.000e-09", "1.000e-08", "1.000e-07",
                                      "1.000e-09", "1.000e-06", "1.000e-05", "1.100e-04"}));
  EXPECT_EQ(bench->setups.count, 8);
  EXPECT_EQ(bench->setups.CalibrParameter[2].Dac[7], 47);  // the fourth line
  EXPECT_EQ(bench->setups.CalibrParameter[7].Dac[0], 100);

  // Fewer than eight: the rings keep their first item.
  ASSERT_EQ(load(dataLine(1e-9) + dataLine(2e-9)), 0);
  EXPECT_EQ(ringLabels(0).size(), 2u);
}

TEST_F(CurrentSetupRings, MoreThanTwentySetupsKeepTheFirstTwenty) {
  std::string text;
  for (int i = 1; i <= 23; ++i) text += dataLine(i * 1e-9, 100 * i);
  ASSERT_EQ(load(text + dataLine(23e-9)), 0);  // a repeat of the last is no further setup
  const std::vector<std::string> l = ringLabels(7);
  ASSERT_EQ(l.size(), 20u);
  EXPECT_EQ(l.back(), "2.000e-08");
  EXPECT_EQ(bench->setups.CalibrParameter[19].Dac[0], 2000);
  ASSERT_EQ(op.messages.size(), 1u);
  EXPECT_NE(op.messages[0].find("The last 3 were ignored"), std::string::npos) << op.messages[0];
}

TEST_F(CurrentSetupRings, FileThatCannotBeReadLeavesRingsAndTableAsTheyWere) {
  std::string text;
  for (int i = 1; i <= 9; ++i) text += dataLine(i * 1e-9, 10 * i);
  ASSERT_EQ(load(text), 0);
  const std::vector<std::string> before = ringLabels(7);
  // A path from the settings file may name anything: a pipe nobody writes to would block the
  // program on opening it, a device like /dev/zero would be read forever. Those are refused
  // with their reason; a missing file (or none named) is passed over in silence.
  testenv::FifoGuard fifo(dir.file("pipe.txt"));
  testenv::writeFile(dir.file("huge.txt"), std::string((1u << 20) + 1, '\n'));
  const struct {
    std::string path;
    const char *reason;
  } cases[] = {
      {dir.file("missing.txt"), nullptr},
      {std::string(), nullptr},
      {dir.path().string(), "it is a folder"},
      {fifo.path(), "it is a named pipe (FIFO)"},
      {"/dev/zero", "it is a character device"},
      {dir.file("huge.txt"), "it is larger than 1048576 bytes"},
  };
  for (const auto &c : cases) {
    op.messages.clear();
    setPath(c.path);
    EXPECT_EQ(bench->shell.currentSetups().LoadCurrentSetupIntoTheRings(), -1) << c.path;
    EXPECT_EQ(ringLabels(7), before);
    EXPECT_EQ(bench->setups.CalibrParameter[8].Dac[0], 90);
    if (!c.reason) {
      EXPECT_TRUE(op.messages.empty()) << c.path;
      continue;
    }
    ASSERT_EQ(op.messages.size(), 1u) << c.path;
    EXPECT_EQ(op.messages[0],
              "The linearity file \"" + c.path + "\" cannot be read: " + c.reason + ".");
  }
  EXPECT_FALSE(fifo.fired()) << "the loader waited on the pipe";
}

TEST_F(CurrentSetupRings, FileWithoutADataLineEmptiesTheRingsAndSaysSo) {
  ASSERT_EQ(load(dataLine(1e-9) + dataLine(2e-9)), 0);
  ASSERT_EQ(ringLabels(0).size(), 2u);
  ASSERT_TRUE(op.messages.empty());
  // Lines whose current is no current a source can feed are no data lines either.
  ASSERT_EQ(load("no data here\n" + dataLine(-1e-3) + dataLine(0) +
                 "nan 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3\n"),
            0);
  EXPECT_TRUE(ringLabels(0).empty());
  EXPECT_EQ(bench->setups.CalibrParameter[0].Dac[0], 0);
  EXPECT_EQ(bench->setups.count, 0);
  ASSERT_EQ(op.messages.size(), 1u);
  EXPECT_EQ(op.messages[0], "The linearity file \"" + dir.file("Card_17.txt") +
                                "\" has no data line: no current setup is loaded.");
}

TEST_F(CurrentSetupRings, ChosenFileIsLoadedAndItsSetupsReachTheOptionsPanel) {
  std::string text;
  for (int i = 1; i <= 10; ++i) text += dataLine(i * 1e-9, 100 * i);
  testenv::writeFile(dir.file("Card_3.txt"), text);
  const ctl::Panels &p = bench->panels;
  setPath("unchanged");
  op.answerPath = dir.file("Card_3.txt");
  op.answer = rt::FileSelect::New;  // a new file name is no linearity file
  bench->shell.ChangeLinearityFile(p.TabBData, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->rt.GetCtrlValS(p.TabBData, ctl::TabBData::LinearityFile), "unchanged");
  op.answer = rt::FileSelect::Existing;
  bench->shell.ChangeLinearityFile(p.TabBData, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->rt.GetCtrlValS(p.TabBData, ctl::TabBData::LinearityFile), op.answerPath);
  EXPECT_EQ(ringLabels(7).size(), 10u);
  EXPECT_EQ(op.titles,
            (std::vector<std::string>{"Select Linearity File", "Select Linearity File"}));

  // Channel 3 on record 9, the others on record 7 (the value after loading).
  bench->rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::CurrentSelect[2], 9);
  bench->config.UpdateCurrentChangeInFPGA();
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceValue[2]), 1002);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceValue[7]), 807);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceSelB[2]), 7);
}

}  // namespace
