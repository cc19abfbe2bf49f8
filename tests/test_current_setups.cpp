// Current setups: data lines of the linearity file, the table they fill and the sixteen rings
// that list them.
#include <gtest/gtest.h>

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

// A data line: current, selectors, eight source values (base + channel), sum, limits, wait.
std::string dataLine(double current, int base = 1000, int wait = 3) {
  return rt::format("%e 4 7 %d %d %d %d %d %d %d %d 12 %f %f %d\n", current, base, base + 1,
                    base + 2, base + 3, base + 4, base + 5, base + 6, base + 7, 0.5, 1.5, wait);
}

TEST(CurrentSetupLine, FieldsGoToTheirStoredPlaces) {
  hw::CurrentSetup s;
  ASSERT_TRUE(functest::ParseCurrentSetupLine(
      "1.5e-06 3 6 100 200 300 400 500 600 700 65535 9 0.25 2.75 11 trailing words", s));
  EXPECT_FLOAT_EQ(s.Current, 1.5e-06f);
  EXPECT_EQ(s.Mux, 3);
  EXPECT_EQ(s.Mux_1, 6);
  const int dac[8] = {100, 200, 300, 400, 500, 600, 700, 65535};
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(s.Dac[ch], dac[ch]) << ch;
  EXPECT_EQ(s.IntegrationTime, 9);
  EXPECT_EQ(s.WaitingTime, 11);  // the fifteenth value of the text
  EXPECT_FLOAT_EQ(s.TolerenceMin, 0.25f);
  EXPECT_FLOAT_EQ(s.TolerenceMax, 2.75f);
}

TEST(CurrentSetupLine, OtherLinesAreNoDataLines) {
  hw::CurrentSetup s;
  s.Mux = 42;
  for (const char *line : {
           "", "Current Mux Mux_1 Dac1 ... WaitingTime", "# 1e-6 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 3",
           "1e-6 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5",              // fourteen values
           "1e-6 4 7 1 2 3 4 5 6 7 8 12 0.5 1.5 x",            // fifteenth not a number
           "1e-6,4,7,1,2,3,4,5,6,7,8,12,0.5,1.5,3",            // not blank-separated
           "1e-6 4 7 1 2 3 4 5 6 7 99999999999 12 0.5 1.5 3",  // beyond int
       }) {
    EXPECT_FALSE(functest::ParseCurrentSetupLine(line, s)) << line;
  }
  EXPECT_EQ(s.Mux, 42);  // untouched
  EXPECT_TRUE(functest::ParseCurrentSetupLine("\t1e-6  4\t7 1 2 3 4 5 6 7 8 12 .5 1.5 3\r", s));
}

TEST(CurrentSetupLine, RingLabelIsThreeDigitExponent) {
  hw::CurrentSetup s;
  s.Current = 1.0e-10f;
  EXPECT_EQ(functest::CurrentSetupLabel(s), "1.000e-10");
  s.Current = 0.00011f;
  EXPECT_EQ(functest::CurrentSetupLabel(s), "1.100e-04");
  s.Current = 0;
  EXPECT_EQ(functest::CurrentSetupLabel(s), "0.000e+00");
}

// Records pop-ups and answers file selections from a queue.
struct RecordingOperator : rt::Operator {
  std::vector<std::string> messages;
  std::vector<rt::FileRequest> requests;
  rt::FileSelect answer = rt::FileSelect::Cancelled;
  std::string answerPath;
  void messagePopup(const std::string &title, const std::string &message) override {
    messages.push_back(title + ": " + message);
  }
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &request, std::string &path) override {
    requests.push_back(request);
    path = answerPath;
    return answer;
  }
};

class CurrentSetupRings : public ::testing::Test {
 protected:
  void SetUp() override {
    app::BenchOptions options;
    options.uiDir = testenv::uiDir();
    options.settingsPath = dir.file("Corvath.ini");
    options.quickusbLib = dir.file("no-such-library.so");
    bench = std::make_unique<app::Bench>(clock, options);
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
  // Labels of one ring, checking that every item's value is its index.
  std::vector<std::string> labels(int panel, int ring) {
    const rt::Control &c = bench->rt.control(panel, ring);
    std::vector<std::string> out;
    for (size_t k = 0; k < c.items.size(); ++k) {
      EXPECT_EQ(c.items[k].value, static_cast<double>(k));
      out.push_back(c.items[k].label);
    }
    return out;
  }
  // All sixteen rings list the same labels and select the same value; returns the labels.
  std::vector<std::string> ringLabels(double *selected = nullptr) {
    const auto &p = bench->panels;
    std::vector<std::string> first = labels(p.TestCFCPanel, ctl::Test::CurrentSelect[0]);
    const double value = bench->rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::CurrentSelect[0]);
    for (int ch = 0; ch < 8; ++ch) {
      EXPECT_EQ(labels(p.TestCFCPanel, ctl::Test::CurrentSelect[ch]), first) << ch;
      EXPECT_EQ(labels(p.OptionsPanel, ctl::Options::CurrentSelect[ch]), first) << ch;
      EXPECT_EQ(bench->rt.GetCtrlValD(p.TestCFCPanel, ctl::Test::CurrentSelect[ch]), value);
      EXPECT_EQ(bench->rt.GetCtrlValD(p.OptionsPanel, ctl::Options::CurrentSelect[ch]), value);
    }
    if (selected) *selected = value;
    return first;
  }

  testenv::TempDir dir;
  rt::VirtualClock clock;
  RecordingOperator op;
  std::unique_ptr<app::Bench> bench;
};

TEST_F(CurrentSetupRings, ConsecutiveDuplicatesAreListedOnce) {
  std::string text = "Linearity file of card 17\n\nCurrent Mux ...\n";
  const double currents[] = {1e-10, 1e-9, 1e-9, 1e-8, 1e-7, 1e-9, 1e-6, 1e-5, 1e-5, 1e-4, 2e-4};
  int base = 0;
  for (double c : currents) text += dataLine(c, base += 10);
  ASSERT_EQ(load(text), 0);
  double selected = -1;
  EXPECT_EQ(
      ringLabels(&selected),
      (std::vector<std::string>{"1.000e-10", "1.000e-09", "1.000e-08", "1.000e-07", "1.000e-09",
                                "1.000e-06", "1.000e-05", "1.000e-04", "2.000e-04"}));
  EXPECT_EQ(selected, 7);
  const hw::CurrentSetups &t = bench->setups;
  EXPECT_EQ(t.count, 9);
  // Record 2 is the fourth line (the third repeats the second's current).
  EXPECT_EQ(t.CalibrParameter[2].Dac[0], 40);
  EXPECT_EQ(t.CalibrParameter[2].Dac[7], 47);
  EXPECT_EQ(t.CalibrParameter[8].Dac[0], 110);
  EXPECT_EQ(t.CalibrParameter[8].WaitingTime, 3);
  EXPECT_EQ(t.CalibrParameter[8].Mux_1, 7);
}

TEST_F(CurrentSetupRings, FewerThanEightSetupsKeepTheFirstSelected) {
  ASSERT_EQ(load(dataLine(1e-9) + dataLine(2e-9)), 0);
  double selected = -1;
  EXPECT_EQ(ringLabels(&selected).size(), 2u);
  EXPECT_EQ(selected, 0);
}

TEST_F(CurrentSetupRings, MoreThanTwentySetupsKeepTheFirstTwentyAndTellHowManyWereIgnored) {
  std::string text;
  for (int i = 1; i <= 23; ++i) text += dataLine(i * 1e-9, 100 * i);
  text += dataLine(23e-9);  // a duplicate of the last ignored one is not counted
  ASSERT_EQ(load(text), 0);
  const std::vector<std::string> l = ringLabels();
  ASSERT_EQ(l.size(), 20u);
  EXPECT_EQ(l.back(), "2.000e-08");
  EXPECT_EQ(bench->setups.count, 20);
  EXPECT_EQ(bench->setups.CalibrParameter[19].Dac[0], 2000);
  ASSERT_EQ(op.messages.size(), 1u);
  EXPECT_NE(op.messages[0].find("The last 3 were ignored"), std::string::npos) << op.messages[0];
}

TEST_F(CurrentSetupRings, MissingFileLeavesRingsAndTableAsTheyWere) {
  std::string text;
  for (int i = 1; i <= 9; ++i) text += dataLine(i * 1e-9, 10 * i);
  ASSERT_EQ(load(text), 0);
  const std::vector<std::string> before = ringLabels();
  const hw::CurrentSetups table = bench->setups;
  for (const std::string &path : {dir.file("missing.txt"), std::string(), dir.path().string()}) {
    setPath(path);
    EXPECT_EQ(bench->shell.currentSetups().LoadCurrentSetupIntoTheRings(), -1) << path;
    EXPECT_EQ(ringLabels(), before);
    EXPECT_EQ(bench->setups.count, table.count);
    EXPECT_EQ(bench->setups.CalibrParameter[8].Dac[0], table.CalibrParameter[8].Dac[0]);
  }
  EXPECT_TRUE(op.messages.empty());
}

TEST_F(CurrentSetupRings, ShorterFileClearsTheRecordsItDoesNotFill) {
  std::string text;
  for (int i = 1; i <= 9; ++i) text += dataLine(i * 1e-9, 10 * i);
  ASSERT_EQ(load(text), 0);
  ASSERT_EQ(load("no data here\n"), 0);
  EXPECT_TRUE(ringLabels().empty());
  EXPECT_EQ(bench->setups.count, 0);
  EXPECT_EQ(bench->setups.CalibrParameter[0].Dac[0], 0);
}

TEST_F(CurrentSetupRings, ChangeLinearityFileLoadsOnlyAnExistingFile) {
  testenv::writeFile(dir.file("Card_3.txt"), dataLine(5e-9) + dataLine(6e-9));
  app::Shell &shell = bench->shell;
  const int page = bench->panels.TabBData;
  setPath("unchanged");

  op.answer = rt::FileSelect::Cancelled;
  shell.ChangeLinearityFile(page, 0, rt::EVENT_COMMIT);
  op.answer = rt::FileSelect::New;
  op.answerPath = dir.file("Card_3.txt");
  shell.ChangeLinearityFile(page, 0, rt::EVENT_COMMIT);
  op.answer = rt::FileSelect::Existing;
  shell.ChangeLinearityFile(page, 0, 2);  // not a commit
  EXPECT_EQ(bench->rt.GetCtrlValS(page, ctl::TabBData::LinearityFile), "unchanged");
  EXPECT_TRUE(ringLabels().empty());

  shell.ChangeLinearityFile(page, 0, rt::EVENT_COMMIT);
  EXPECT_EQ(bench->rt.GetCtrlValS(page, ctl::TabBData::LinearityFile), dir.file("Card_3.txt"));
  EXPECT_EQ(ringLabels(), (std::vector<std::string>{"5.000e-09", "6.000e-09"}));

  ASSERT_EQ(op.requests.size(), 3u);
  EXPECT_EQ(op.requests[0].title, "Select Linearity File");
  EXPECT_EQ(op.requests[0].typeList, "*.txt");
  EXPECT_EQ(op.requests[0].defaultSpec, "*.*");
  EXPECT_FALSE(op.requests[0].save);
}

TEST_F(CurrentSetupRings, SelectedSetupsReachTheOptionsPanel) {
  std::string text;
  for (int i = 1; i <= 10; ++i) text += dataLine(i * 1e-9, 100 * i);
  ASSERT_EQ(load(text), 0);
  const auto &p = bench->panels;
  bench->rt.SetCtrlVal(p.TestCFCPanel, ctl::Test::CurrentSelect[2], 9);
  bench->config.UpdateCurrentChangeInFPGA();
  // Channel 3 gets record 9's selectors and its own source value; the others record 7's.
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceValue[2]), 1000 + 2);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceValue[0]), 800);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceValue[7]), 807);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceSelA[2]), 4);
  EXPECT_EQ(bench->rt.GetCtrlValI(p.OptionsPanel, ctl::Options::SourceSelB[2]), 7);
}

}  // namespace
