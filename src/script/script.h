// The scripted operator: runs a script of operator actions against a started Bench. Shared by
// the headless program and the desktop program's --script option.
//
//   set Panel.Control VALUE          number, or "quoted text"
//   commit Panel.Control             the operator's commit: fires its callback with event 1
//   key VK                           main-panel key press, e.g. key 0x1800 (F10)
//   wait SECONDS                     run the event loop that long
//   waitfor Panel.Control OP VALUE [timeout SECONDS]
//   answer yes|no                    queue the answer of the next confirmation pop-up
//   choose PATH | choose cancel      queue the result of the next file selection pop-up
//   print Panel.Control              prints "Panel.Control = VALUE"
//   expect Panel.Control OP VALUE    fails the run unless true
//   screenshot Panel PATH            desktop program only
//   probe                            the bench check (app/probe.h); fails the run when unusable
//   quit
#pragma once

#include <deque>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/bench.h"
#include "rt/runtime.h"
#include "script/history_command.h"

namespace cli {

// Exit statuses of a run.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_USAGE = 2;        // bad command line or script (with the line number)
inline constexpr int EXIT_FAILED = 3;       // an expect or waitfor failed
inline constexpr int EXIT_LOST = 4;         // a test run lost lines of its report or record
inline constexpr int EXIT_RUN_FAILED = 5;   // a test run the script started ended FAILED
inline constexpr int EXIT_RUN_UNENDED = 6;  // a test run was stopped or had not ended
inline constexpr int EXIT_MODULE_LOST = 7;  // the QuickUSB module went away during a run
inline constexpr int EXIT_WAITING = 8;      // a test run's lines wait for the results store

// The exit status a script's test runs give after it went through: the module lost above lost
// lines, then lines waiting for the store (both reported by the caller) above a run not ended
// above a failed run; 0 when every run the
// script started ended PASSED (or none was started). `stillRunning`: a run was under way when
// the script ended.
int runsExitStatus(const std::vector<functest::FunctionalTest::Outcome> &outcomes,
                   bool stillRunning);

// What the front end provides to a script: time passing and screenshots.
class ScriptHost {
 public:
  virtual ~ScriptHost() = default;
  // Runs the event loop until `done` holds or `seconds` have passed; returns whether done held.
  virtual bool runFor(double seconds, const std::function<bool()> &done) = 0;
  // Saves a PNG of a panel's window; false with a message when it cannot.
  virtual bool screenshot(int panel, const std::string &path, std::string &error) = 0;
};

// Answers pop-ups from the script's queues and echoes them: "[popup] title: text". With no
// queued answer a confirmation is answered no and a file selection cancelled, and that is said.
class ScriptOperator : public rt::Operator {
 public:
  explicit ScriptOperator(std::ostream &out) : out_(out) {}
  void messagePopup(const std::string &title, const std::string &message) override;
  bool confirmPopup(const std::string &title, const std::string &message) override;
  rt::FileSelect fileSelectPopup(const rt::FileRequest &request, std::string &path) override;

  void queueAnswer(bool yes) { answers_.push_back(yes); }
  void queueChoice(std::optional<std::string> path) { choices_.push_back(std::move(path)); }
  int popupCount() const { return popups_; }

 private:
  std::ostream &out_;
  std::deque<bool> answers_;
  std::deque<std::optional<std::string>> choices_;
  int popups_ = 0;
};

// Echoes the lines added to Main.InfoBox and Test.LogBox.
class LineEcho : public rt::Observer {
 public:
  // Watches text boxes by panel alias and control id ("Main", InfoBox id), so that it can be
  // attached before the panels are loaded.
  LineEcho(rt::Runtime &rt, std::ostream &out, std::vector<std::pair<std::string, int>> watched)
      : rt_(rt), out_(out), watched_(std::move(watched)) {}
  void textBoxLineAdded(int panel, int control, const std::string &line) override;

 private:
  rt::Runtime &rt_;
  std::ostream &out_;
  std::vector<std::pair<std::string, int>> watched_;
};

// The command line shared by both programs.
struct Options {
  app::BenchOptions bench;
  bool sim = false;
  bool virtualTime = false;    // headless program only
  bool probe = false;          // headless program only: the bench check instead of a script
  bool acquire = false;        // desktop program only: FRAMES acquisition once started
  bool historyWindow = false;  // desktop program only: the history page once started
  std::string script;
  std::string htmlReport;  // headless program only: the record to write an HTML report of
  bool help = false;       // --help: print helpText() and leave with status 0
  bool version = false;    // --version: print versionLine() and leave with status 0
  HistoryOptions history;  // tessock-cli only
};
// Parses argv; false with a message on a bad command line. `headless` is false for the desktop
// program: each program takes only the options its --help lists. --help and --version end the
// parsing: what follows them is not looked at.
bool parseOptions(int argc, char **argv, Options &options, std::string &error,
                  bool headless = true);
// The synopsis, printed after a command-line error.
std::string usage(const char *program, bool desktop);
// --help: the synopsis, then every option of the program with one line each, the exit statuses.
std::string helpText(const char *program, bool desktop);
// --version: "tessock-cli 0.1.0 (commit 0123abcd)", without the commit when it is not known.
std::string versionLine(const char *program, const std::string &version, const std::string &commit);
// Whether argv asks for --help or --version, before anything else can be set up (the desktop
// program must answer them without a display). Values of the options that take one are skipped.
enum class InfoRequest { None, Help, Version };
InfoRequest infoRequest(int argc, char **argv);

struct ScriptLine {
  int number = 0;
  std::vector<std::string> words;  // quoted text kept as one word, quotes removed
  std::vector<bool> quoted;
};

// Parses a whole script; on a syntax error returns false with "line N: problem".
bool parseScript(const std::string &text, std::vector<ScriptLine> &lines, std::string &error);

class ScriptRunner {
 public:
  ScriptRunner(app::Bench &bench, ScriptHost &host, ScriptOperator &op, std::ostream &out,
               std::ostream &err)
      : bench_(bench), host_(host), op_(op), out_(out), err_(err) {}
  // Runs the script to its end or to `quit`. Returns an exit status.
  int run(const std::vector<ScriptLine> &lines);

  // Resolves "Panel.Control" to (panel handle, control id); false when unknown.
  bool resolve(const std::string &name, int &panel, int &control) const;
  // Text of a control's value as `print` shows it.
  std::string valueText(int panel, int control) const;

 private:
  int fail(const ScriptLine &line, const std::string &message, int status);
  bool compare(int panel, int control, const std::string &op, const std::string &value, bool quoted,
               std::string &error) const;

  app::Bench &bench_;
  ScriptHost &host_;
  ScriptOperator &op_;
  std::ostream &out_;
  std::ostream &err_;
};

}  // namespace cli
