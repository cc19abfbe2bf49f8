// The script language of the headless program: parsing and its errors, the scripted operator's
// pop-ups, the echo of the information and log boxes, and scripts run against a bench without
// a library in virtual time.
#include <gtest/gtest.h>

#include <sstream>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "script/script.h"
#include "support/test_env.h"

namespace {

std::vector<cli::ScriptLine> parsed(const std::string &text) {
  std::vector<cli::ScriptLine> lines;
  std::string error;
  EXPECT_TRUE(cli::parseScript(text, lines, error)) << error;
  return lines;
}

std::string parseError(const std::string &text) {
  std::vector<cli::ScriptLine> lines;
  std::string error;
  if (cli::parseScript(text, lines, error)) return "(parsed)";
  return error;
}

TEST(ScriptParse, WordsQuotesCommentsAndLineNumbers) {
  auto lines = parsed(
      "# a comment\r\n"
      "\r\n"
      "set TabBData.BenchReportPrefix \"a \\\"b\\\" # c\"  # trailing\r\n"
      "\tkey\t0x1800\n"
      "   \n"
      "waitfor Main.CardNumber >= 1 timeout 2.5\n"
      "quit");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].number, 3);
  EXPECT_EQ(lines[0].words,
            (std::vector<std::string>{"set", "TabBData.BenchReportPrefix", "a \"b\" # c"}));
  EXPECT_EQ(lines[0].quoted, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(lines[1].number, 4);
  EXPECT_EQ(lines[1].words, (std::vector<std::string>{"key", "0x1800"}));
  EXPECT_EQ(lines[2].number, 6);
  EXPECT_EQ(lines[2].words.size(), 6u);
  // The last line without its line break still counts; an empty script is no error.
  EXPECT_EQ(parsed("print Main.CardNumber\nquit").size(), 2u);
  EXPECT_TRUE(parsed("").empty());
}

TEST(ScriptParse, ErrorsNameTheLine) {
  const std::pair<const char *, const char *> cases[] = {
      {"print Main.CardNumber\nfrobnicate Main.Quit\n", "line 2: unknown command 'frobnicate'"},
      {"\"quit\"", "line 1: unknown command 'quit'"},
      {"set Main.AcqInterval \"0.5", "line 1: unterminated quoted text"},
      {"set Main.AcqInterval \"0.5\\\"", "line 1: unterminated quoted text"},
      {"\n\nset Main.AcqInterval", "line 3: wrong number of arguments for 'set'"},
      {"quit now", "line 1: wrong number of arguments for 'quit'"},
      {"wait nan", "line 1: 'nan' is not a duration"},
      {"wait inf", "line 1: 'inf' is not a duration"},
      {"wait 1e400", "line 1: '1e400' is not a duration"},
      {"wait -1", "line 1: '-1' is not a duration"},
      {"wait 2e9", "line 1: '2e9' is not a duration"},
      {"wait 1,5", "line 1: '1,5' is not a duration"},
      {"wait --1", "line 1: '--1' is not a duration"},
      {"wait 0x", "line 1: '0x' is not a duration"},
      {"wait 5s", "line 1: '5s' is not a duration"},
      {"key 1e300", "line 1: '1e300' is not a key code"},
      {"key -1", "line 1: '-1' is not a key code"},
      {"key 1.5", "line 1: '1.5' is not a key code"},
      {"key 0x80000000", "line 1: '0x80000000' is not a key code"},
      {"key 0x1FFFFFFFFFFFFFFFFFFFF", "line 1: '0x1FFFFFFFFFFFFFFFFFFFF' is not a key code"},
      {"key F10", "line 1: 'F10' is not a key code"},
      {"waitfor Main.CardNumber == 1 timeout", "line 1: waitfor ends with 'timeout SECONDS'"},
      {"waitfor Main.CardNumber == 1 until 5", "line 1: waitfor ends with 'timeout SECONDS'"},
      {"waitfor Main.CardNumber == 1 timeout -3", "line 1: waitfor ends with 'timeout SECONDS'"},
      {"waitfor Main.CardNumber == 1 timeout nan", "line 1: waitfor ends with 'timeout SECONDS'"},
      {"expect Main.CardNumber =~ 1", "line 1: unknown comparison '=~'"},
      {"answer maybe", "line 1: answer takes yes or no"},
  };
  for (const auto &[text, message] : cases)
    EXPECT_EQ(parseError(text).rfind(message, 0), 0u) << text;
  // Bounds that are accepted.
  for (const char *ok : {"wait 0", "wait 1e9", "wait +0.5", "wait 0x10", "key 0", "key 0x7FFFFFFF",
                         "key 6144", "waitfor Main.CardNumber != 0 timeout 0"})
    EXPECT_EQ(parseError(ok), "(parsed)") << ok;
  // A very long line or stray bytes are a syntax matter, not a crash.
  EXPECT_EQ(parseError("set Main.AcqInterval " + std::string(1 << 20, '9')), "(parsed)");
  EXPECT_EQ(parseError(std::string("wait 1\0x", 8)).rfind("line 1: ", 0), 0u);
}

TEST(ScriptOperator, PopupsAreEchoedAndAnsweredFromTheQueues) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("there.txt"), "x");
  std::ostringstream out;
  cli::ScriptOperator op(out);
  op.messagePopup("Title", "Text");
  EXPECT_FALSE(op.confirmPopup("Sure?", "Really"));
  op.queueAnswer(true);
  op.queueAnswer(false);
  EXPECT_TRUE(op.confirmPopup("Q1", "a"));
  EXPECT_FALSE(op.confirmPopup("Q2", "b"));
  rt::FileRequest request;
  request.title = "Select";
  request.typeList = "*.txt";
  std::string path = "unchanged";
  EXPECT_EQ(op.fileSelectPopup(request, path), rt::FileSelect::Cancelled);
  EXPECT_EQ(path, "unchanged");
  op.queueChoice(std::nullopt);
  op.queueChoice(dir.file("there.txt"));
  op.queueChoice(dir.file("new.txt"));
  EXPECT_EQ(op.fileSelectPopup(request, path), rt::FileSelect::Cancelled);
  EXPECT_EQ(op.fileSelectPopup(request, path), rt::FileSelect::Existing);
  EXPECT_EQ(path, dir.file("there.txt"));
  EXPECT_EQ(op.fileSelectPopup(request, path), rt::FileSelect::New);
  EXPECT_EQ(op.popupCount(), 8);
  EXPECT_EQ(out.str(),
            "[popup] Title: Text\n"
            "[popup] Sure?: Really\n"
            "[popup] no answer queued: answered no\n"
            "[popup] Q1: a\n"
            "[popup] answered yes\n"
            "[popup] Q2: b\n"
            "[popup] answered no\n"
            "[popup] Select: *.txt\n"
            "[popup] no file queued: cancelled\n"
            "[popup] Select: *.txt\n"
            "[popup] cancelled\n"
            "[popup] Select: *.txt\n"
            "[popup] chose " +
                dir.file("there.txt") +
                "\n"
                "[popup] Select: *.txt\n"
                "[popup] chose " +
                dir.file("new.txt") + "\n");
}

// The headless program's loop: time passes on the bench's clock.
struct LoopHost : cli::ScriptHost {
  rt::Runtime &rt;
  explicit LoopHost(rt::Runtime &r) : rt(r) {}
  bool runFor(double seconds, const std::function<bool()> &done) override {
    return rt.RunUntil(rt.Timer() + seconds, done);
  }
  bool screenshot(int, const std::string &, std::string &error) override {
    error = "no screenshots here";
    return false;
  }
};

struct ScriptRun : ::testing::Test {
  testenv::TempDir dir;
  rt::VirtualClock clock;
  std::ostringstream out, err;
  cli::ScriptOperator op{out};
  std::unique_ptr<app::Bench> bench;
  std::unique_ptr<cli::LineEcho> echo;

  void SetUp() override {
    app::BenchOptions o;
    o.uiDir = testenv::uiDir();
    o.quickusbLib = dir.file("absent.so");
    o.settingsPath = dir.file("Corvath.ini");
    bench = std::make_unique<app::Bench>(clock, o);
    echo = std::make_unique<cli::LineEcho>(
        bench->rt, out,
        std::vector<std::pair<std::string, int>>{{"Main", ctl::Main::InfoBox.id},
                                                 {"Test", ctl::Test::LogBox.id}});
    bench->rt.setOperator(&op);
    bench->rt.addObserver(echo.get());
    bench->StartUp();
  }
  // The line after the standard one: the library tried and the loader's reason.
  std::string libraryReason() const {
    return "The QuickUSB library '" + dir.file("absent.so") +
           "' cannot be loaded: No such file or directory";
  }
  void TearDown() override {
    bench->rt.removeObserver(echo.get());
    bench->rt.setOperator(nullptr);
  }
  int run(const std::string &text) {
    out.str("");
    err.str("");
    LoopHost host(bench->rt);
    cli::ScriptRunner runner(*bench, host, op, out, err);
    return runner.run(parsed(text));
  }
};

TEST_F(ScriptRun, EchoesTheInformationAndLogBoxesOnly) {
  EXPECT_EQ(out.str(), "Can't oad the library for the QuickUSB 'QuickUSB.lib' \n" +
                           libraryReason() + "\n");  // start-up
  out.str("");
  rt::Runtime &rt = bench->rt;
  rt.InsertTextBoxLine(bench->panels.TestCFCPanel, ctl::Test::LogBox, -1, "PASSED : x");
  rt.InsertTextBoxLine(bench->panels.MainPanel, ctl::Main::ModuleName, -1, "not echoed");
  rt.InsertTextBoxLine(bench->panels.MainPanel, ctl::Main::InfoBox, 0, "first");
  EXPECT_EQ(out.str(), "PASSED : x\nfirst\n");
}

TEST_F(ScriptRun, SetPrintAndExpect) {
  EXPECT_EQ(run("set Main.AcqInterval 0.5\n"
                "print Main.AcqInterval\n"
                "set Options.ManualCommand 1e300\n"
                "print Options.ManualCommand\n"
                "set Options.ManualByte1 0x2C\n"
                "print Options.ManualByte1\n"
                "set TabBData.BenchReportPrefix \"/tmp/a b\"\n"
                "print TabBData.BenchReportPrefix\n"
                "print Main.InfoBox\n"
                "expect Main.AcqInterval == 0.5\n"
                "expect Main.AcqInterval != 1\n"
                "expect Main.AcqInterval < 0.6\n"
                "expect Main.AcqInterval <= 0.5\n"
                "expect Main.AcqInterval > -1\n"
                "expect Main.AcqInterval >= 0.5\n"
                "expect TabBData.BenchReportPrefix == \"/tmp/a b\"\n"
                "expect TabBData.BenchReportPrefix != \"/tmp\"\n"),
            cli::EXIT_OK)
      << err.str();
  EXPECT_EQ(out.str(),
            "Main.AcqInterval = 0.5\n"
            "Options.ManualCommand = 255\n"
            "Options.ManualByte1 = 44\n"
            "TabBData.BenchReportPrefix = /tmp/a b\n"
            "Main.InfoBox = Can't oad the library for the QuickUSB 'QuickUSB.lib'  | " +
                libraryReason() + "\n");
  EXPECT_EQ(run("\nexpect Main.AcqInterval > 0.5\nquit\n"), cli::EXIT_FAILED);
  EXPECT_EQ(err.str(), "script line 2: expect failed: Main.AcqInterval = 0.5, wanted > 0.5\n");
}

TEST_F(ScriptRun, WaitforTimesOutInVirtualTimeAndBadComparisonsStopAtOnce) {
  double t0 = clock.now();
  EXPECT_EQ(run("waitfor Main.CardNumber == 99 timeout 2"), cli::EXIT_FAILED);
  EXPECT_DOUBLE_EQ(clock.now(), t0 + 2);
  EXPECT_EQ(err.str(), "script line 1: waitfor failed: Main.CardNumber = 0, wanted == 99\n");
  t0 = clock.now();
  EXPECT_EQ(run("waitfor TabBData.BenchReportPrefix < \"x\""), cli::EXIT_USAGE);
  EXPECT_EQ(err.str(), "script line 1: only == and != compare text\n");
  EXPECT_EQ(clock.now(), t0);  // not the 60 s of the default timeout
  EXPECT_EQ(run("wait 3\nwaitfor Main.AcqInterval == 0.02 timeout 5"), cli::EXIT_OK) << err.str();
  EXPECT_DOUBLE_EQ(clock.now(), t0 + 3);
}

TEST_F(ScriptRun, RunErrorsNameTheLineAndStopTheScript) {
  const std::pair<const char *, const char *> cases[] = {
      {"print Main.NoSuchControl", "script line 1: unknown control Main.NoSuchControl\n"},
      {"print NoSuchPanel.X", "script line 1: unknown control NoSuchPanel.X\n"},
      {"print Main.", "script line 1: unknown control Main.\n"},
      {"print .InfoBox", "script line 1: unknown control .InfoBox\n"},
      {"\nset Main.AcqInterval abc", "script line 2: 'abc' is not a number\n"},
      {"set Main.AcqInterval nan", "script line 1: 'nan' is not a number\n"},
      {"set Main.ReadOutMode \"FRAMES\"",
       "script line 1: 'FRAMES' is not a number for ReadOutMode\n"},
      {"set Main.AcqTimer 1", "script line 1: control AcqTimer (timer) holds no value\n"},
      {"commit Main.BoardNumber", "script line 1: Main.BoardNumber has no callback\n"},
      {"expect Main.CardNumber == x", "script line 1: 'x' is not a number\n"},
      {"screenshot Main /tmp/x.png", "script line 1: no screenshots here\n"},
      {"screenshot Nowhere /tmp/x.png", "script line 1: unknown panel Nowhere\n"},
  };
  for (const auto &[text, message] : cases) {
    EXPECT_EQ(run(std::string(text) + "\nprint Main.CardNumber\n"), cli::EXIT_USAGE) << text;
    EXPECT_EQ(err.str(), message) << text;
    EXPECT_EQ(out.str(), "") << text;  // the line after it did not run
  }
}

TEST_F(ScriptRun, QuitEndsTheScriptAndQueuedAnswersWait) {
  EXPECT_EQ(run("answer yes\nchoose cancel\nchoose \"cancel\"\nquit\nprint Main.CardNumber\n"),
            cli::EXIT_OK);
  EXPECT_EQ(out.str(), "");
  std::string path;
  rt::FileRequest request;
  EXPECT_EQ(bench->rt.ConfirmPopup("Q", "q"), 1);
  EXPECT_EQ(bench->rt.FileSelectPopup(request, path), rt::FileSelect::Cancelled);
  EXPECT_EQ(bench->rt.FileSelectPopup(request, path), rt::FileSelect::New);
  EXPECT_EQ(path, "cancel");  // quoted: a file of that name
  // The quit control ends the script too.
  EXPECT_EQ(run("commit Main.Quit\nprint Main.CardNumber\n"), cli::EXIT_OK);
  EXPECT_EQ(out.str(), "");
}

}  // namespace

namespace {

TEST_F(ScriptRun, TheOperatorsFieldTakesTheFocusAndDimmedControlsCannotBeUsed) {
  // Scanning a device label into the first bar-code field moves the focus on once it carries
  // the card number (1 until a board has sent its own).
  const int data = bench->panels.TabBData;
  EXPECT_EQ(run("set TabBData.DeviceBarcode1 \"VELTRA 1\"\n"), cli::EXIT_OK) << err.str();
  EXPECT_EQ(bench->rt.GetActiveCtrl(data), ctl::TabBData::DeviceBarcode1.id);
  bench->shell.fControlCodeBars();
  EXPECT_EQ(bench->rt.GetActiveCtrl(data), ctl::TabBData::DeviceBarcode2.id);

  // While acquisition runs the read-out mode ring is dimmed: the operator cannot commit it.
  EXPECT_EQ(run("commit Main.StartStop\ncommit Main.ReadOutMode\nprint Main.CardNumber\n"),
            cli::EXIT_USAGE);
  EXPECT_EQ(err.str(), "script line 2: Main.ReadOutMode is dimmed: the operator cannot use it\n");
}

}  // namespace
