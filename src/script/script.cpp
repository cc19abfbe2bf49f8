#include "script/script.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <string_view>

#include "app/probe.h"
#include "rt/format.h"
#include "rt/input_file.h"

namespace cli {

// ---------------------------------------------------------------- command line

namespace {

// Every option of the two programs, in the order --help lists them.
struct OptionDoc {
  const char *name;
  const char *value;  // nullptr: the option takes no value
  const char *text;
  enum Program { Both, Headless, Desktop } program;
};
constexpr OptionDoc kOptionDocs[] = {
    {"--sim", nullptr, "use the simulated bench instead of the QuickUSB library", OptionDoc::Both},
    {"--sim-config", "FILE", "board configuration of the simulated bench (implies --sim)",
     OptionDoc::Both},
    {"--quickusb-lib", "PATH", "the QuickUSB library to load (default: libquickusb.so)",
     OptionDoc::Both},
    {"--module", "NAME", "the QuickUSB module to drive (default: the first one found)",
     OptionDoc::Both},
    {"--unattended", nullptr,
     "end the test's operator waits by the give-up policy (unattended runs)", OptionDoc::Both},
    {"--bias-timeout", "SECONDS", "unattended: give a bias wait up after SECONDS (default 300)",
     OptionDoc::Both},
    {"--channel-timeout", "SECONDS",
     "unattended: skip a channel without its count after SECONDS (default 60)", OptionDoc::Both},
    {"--long-check", "SECONDS",
     "unattended: end the long-time fibre check after SECONDS (default 600)", OptionDoc::Both},
    {"--probe", nullptr, "check the bench, after the script if any; exit status 0 only when usable",
     OptionDoc::Headless},
    {"--settings", "FILE", "the settings file (default: $XDG_CONFIG_HOME/tessock/Corvath.ini)",
     OptionDoc::Both},
    {"--ui-dir", "DIR", "folder of the panel files (default: share/tessock/ui of the install)",
     OptionDoc::Both},
    {"--conversion-file", "FILE",
     "raw capture's text conversion (default: $TMPDIR/TempMeasures/tempIO.txt)", OptionDoc::Both},
    {"--script", "FILE", "run a script of operator actions", OptionDoc::Both},
    {"--acquire", nullptr, "start FRAMES acquisition once started, as the F10 key does",
     OptionDoc::Desktop},
    {"--history-window", nullptr, "open the results history page once started", OptionDoc::Desktop},
    {"--results-db", "STORE", "results store: SQLite file or postgresql:// URI (see the man page)",
     OptionDoc::Both},
    {"--station", "NAME", "this bench's name (default: host name); history filter: its runs",
     OptionDoc::Both},
    {"--virtual-time", nullptr, "run the event loop in virtual time (hours of a test in seconds)",
     OptionDoc::Headless},
    {"--html-report", "RECORD",
     "write the HTML report of a test record (*.jsonl) beside it, then exit", OptionDoc::Headless},
    {"--init-store", nullptr, "set up the results store for a lab: tables, rules, two roles",
     OptionDoc::Headless},
    {"--import", "DIR", "store the test records (*.jsonl) and lone reports of DIR",
     OptionDoc::Headless},
    {"--sync", nullptr, "store the runs that wait for the results store, from their records",
     OptionDoc::Headless},
    {"--history", nullptr, "print the stored runs", OptionDoc::Headless},
    {"--store-times", nullptr, "--history, --board: when the store received each run (UTC)",
     OptionDoc::Headless},
    {"--board", "BARCODE", "print every run of the board with this barcode, on every station",
     OptionDoc::Headless},
    {"--yield", nullptr, "print the first-pass yield and the retests per day, week or station",
     OptionDoc::Headless},
    {"--failures", nullptr, "print the checks ranked by how often they failed",
     OptionDoc::Headless},
    {"--values", "CHECK", "print a check's measured value across runs", OptionDoc::Headless},
    {"--export-junit", "FILE", "write the stored runs as a JUnit XML file", OptionDoc::Headless},
    {"--partial-runs", nullptr,
     "--yield counts runs with steps switched off too (default: whole runs)", OptionDoc::Headless},
    {"--by", "GROUP", "day, week or station: groups of --yield; station: --failures per station",
     OptionDoc::Headless},
    {"--csv", nullptr, "print --history, --board, --yield, --failures and --values as CSV",
     OptionDoc::Headless},
    {"--card", "N", "history filter: card number", OptionDoc::Headless},
    {"--from", "DATE", "history filter: runs started on or after the day (YYYY-MM-DD)",
     OptionDoc::Headless},
    {"--to", "DATE", "history filter: runs started on or before the day (YYYY-MM-DD)",
     OptionDoc::Headless},
    {"--verdict", "VERDICT", "history filter: PASSED, FAILED, STOPPED, INCOMPLETE or UNFINISHED",
     OptionDoc::Headless},
    {"--check", "TEXT", "history filter: runs with a result line holding TEXT",
     OptionDoc::Headless},
    {"--help", nullptr, "print this help and exit", OptionDoc::Both},
    {"--version", nullptr, "print the version and exit", OptionDoc::Both},
};

const OptionDoc *findOption(const std::string &name) {
  for (const OptionDoc &d : kOptionDocs)
    if (name == d.name) return &d;
  return nullptr;
}

// Whether the option belongs to the desktop program (desktop) or to the headless one.
bool belongsTo(const OptionDoc &d, bool desktop) {
  return d.program == OptionDoc::Both || (d.program == OptionDoc::Desktop) == desktop;
}

std::string synopsis(const char *program, bool desktop) {
  return std::string("usage: ") + program +
         (desktop ? " [OPTION]...\n" : " [OPTION]... --script FILE | --probe\n");
}

}  // namespace

std::string usage(const char *program, bool desktop) {
  return synopsis(program, desktop) + "'" + program + " --help' lists the options.\n";
}

std::string helpText(const char *program, bool desktop) {
  std::string h = synopsis(program, desktop);
  h += desktop ? "The desktop program of the VELTRA bench: configure the FPGA and the bench, show "
                 "and record the\nboard's data, run the functional test. With --script, the "
                 "script plays the operator.\n"
               : "The headless program of the VELTRA bench: start-up, then the script of operator "
                 "actions,\nthen shutdown.\n";
  h += "\nOptions:\n";
  for (const OptionDoc &d : kOptionDocs) {
    if (!belongsTo(d, desktop)) continue;
    const std::string name = d.value ? std::string(d.name) + " " + d.value : std::string(d.name);
    rt::appendFormat(h, "  %-24s %s\n", name.c_str(), d.text);
  }
  if (desktop) h += "  and Qt's own options (-platform NAME, -display DISPLAY, ...)\n";
  h += "\nExit status: 0 done, 1 start-up failed (a panel file missing or malformed), 2 bad "
       "command line\nor script, 3 an expect or waitfor of the script failed or the bench check "
       "found the\nbench unusable";
  if (!desktop)
    h += ", 4 a test run lost lines, 5 a test run ended FAILED, 6 a test\nrun was stopped or "
         "did not end, 7 the QuickUSB module went away during a run";
  h += ".\n";
  return h;
}

std::string versionLine(const char *program, const std::string &version,
                        const std::string &commit) {
  std::string v = std::string(program) + " " + version;
  if (!commit.empty()) v += " (commit " + commit + ")";
  return v + "\n";
}

InfoRequest infoRequest(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return InfoRequest::Help;
    if (a == "--version") return InfoRequest::Version;
    const OptionDoc *d = findOption(a);
    if (d && d->value) ++i;
  }
  return InfoRequest::None;
}

bool parseOptions(int argc, char **argv, Options &o, std::string &error, bool headless) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    // Only what --help lists is accepted.
    const OptionDoc *d = findOption(a == "-h" ? "--help" : a);
    if (!d) {
      error = "unknown option " + a;
      return false;
    }
    // An option of the other program is named as such: the operator picked the wrong one.
    if (!belongsTo(*d, !headless)) {
      error = a + (headless ? " is an option of the desktop program tessock only"
                            : " is an option of the headless program tessock-cli only");
      return false;
    }
    std::string value;
    if (d->value) {
      if (i + 1 >= argc) {
        error = "option " + a + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    const std::string name = d->name;
    if (name == "--help") {
      o.help = true;
      return true;
    } else if (name == "--version") {
      o.version = true;
      return true;
    } else if (name == "--sim") {
      o.sim = true;
    } else if (name == "--virtual-time") {
      o.virtualTime = true;
    } else if (name == "--sim-config") {
      o.bench.simConfig = value;
      o.sim = true;
    } else if (name == "--quickusb-lib") {
      o.bench.quickusbLib = value;
    } else if (name == "--module") {
      if (value.empty() || value.size() > 511) {
        error = "--module needs a module name of 1 to 511 characters";
        return false;
      }
      o.bench.moduleName = value;
    } else if (name == "--probe") {
      o.probe = true;
    } else if (name == "--unattended") {
      o.bench.unattended.on = true;
    } else if (name == "--bias-timeout" || name == "--channel-timeout" || name == "--long-check") {
      // A duration of the policy: seconds, a plain positive number.
      char *end = nullptr;
      const double v = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(v > 0.0) || v > 1e7) {
        error = "option " + a + " needs a number of seconds above 0, not '" + value + "'";
        return false;
      }
      auto &u = o.bench.unattended;
      const int k = name == "--bias-timeout" ? 0 : name == "--channel-timeout" ? 1 : 2;
      (k == 0 ? u.biasSeconds : k == 1 ? u.channelSeconds : u.longCheckSeconds) = v;
      o.bench.unattendedFromOptions[k] = true;
    } else if (name == "--settings") {
      o.bench.settingsPath = value;
    } else if (name == "--ui-dir") {
      o.bench.uiDir = value;
    } else if (name == "--conversion-file") {
      o.bench.conversionFile = value;
    } else if (name == "--script") {
      o.script = value;
    } else if (name == "--acquire") {
      o.acquire = true;
    } else if (name == "--history-window") {
      o.historyWindow = true;
    } else if (name == "--results-db") {
      o.bench.resultsDb = value;
    } else if (name == "--html-report") {
      o.htmlReport = value;
    } else if (name == "--station") {
      if (value.empty() || value.size() > 200) {
        error = "--station needs a name of 1 to 200 characters";
        return false;
      }
      o.bench.station = value;
      if (headless) {
        int at = i - 1;
        parseHistoryOption(argc, argv, at, o.history, error);
      }
    } else {
      // The history commands and their filters read the option and its value themselves.
      int at = d->value ? i - 1 : i;
      if (!parseHistoryOption(argc, argv, at, o.history, error) || !error.empty()) {
        if (error.empty()) error = "unknown option " + a;
        return false;
      }
    }
  }
  if (o.sim && !o.bench.quickusbLib.empty()) {
    error = "--sim and --quickusb-lib exclude each other";
    return false;
  }
  if (o.sim) o.bench.quickusbLib = app::simulatorLibraryPath();
  return checkHistoryOptions(o.history, error);
}

// ---------------------------------------------------------------- operator and echo

void ScriptOperator::messagePopup(const std::string &title, const std::string &message) {
  ++popups_;
  out_ << "[popup] " << title << ": " << message << std::endl;
}

bool ScriptOperator::confirmPopup(const std::string &title, const std::string &message) {
  ++popups_;
  out_ << "[popup] " << title << ": " << message << std::endl;
  if (answers_.empty()) {
    out_ << "[popup] no answer queued: answered no" << std::endl;
    return false;
  }
  bool yes = answers_.front();
  answers_.pop_front();
  out_ << "[popup] answered " << (yes ? "yes" : "no") << std::endl;
  return yes;
}

rt::FileSelect ScriptOperator::fileSelectPopup(const rt::FileRequest &request, std::string &path) {
  ++popups_;
  out_ << "[popup] " << request.title << ": " << request.typeList << std::endl;
  if (choices_.empty()) {
    out_ << "[popup] no file queued: cancelled" << std::endl;
    return rt::FileSelect::Cancelled;
  }
  std::optional<std::string> c = choices_.front();
  choices_.pop_front();
  if (!c) {
    out_ << "[popup] cancelled" << std::endl;
    return rt::FileSelect::Cancelled;
  }
  path = *c;
  out_ << "[popup] chose " << path << std::endl;
  // Like the desktop's file dialog, the answer only looks at the path: opening it could block
  // (a named pipe) or act (a device). Whoever reads the file refuses what it cannot read.
  return rt::checkPath(path).exists ? rt::FileSelect::Existing : rt::FileSelect::New;
}

void LineEcho::textBoxLineAdded(int panel, int control, const std::string &line) {
  const std::string &alias = rt_.panel(panel).alias;
  for (auto &[a, id] : watched_)
    if (id == control && a == alias) {
      out_ << line << std::endl;
      return;
    }
}

// ---------------------------------------------------------------- parsing

namespace {

struct CommandShape {
  const char *name;
  int minArgs, maxArgs;
};
constexpr CommandShape kCommands[] = {
    {"set", 2, 2},    {"commit", 1, 1}, {"key", 1, 1},   {"wait", 1, 1},   {"waitfor", 3, 5},
    {"answer", 1, 1}, {"choose", 1, 1}, {"print", 1, 1}, {"expect", 3, 3}, {"screenshot", 2, 2},
    {"quit", 0, 0},   {"probe", 0, 0},  {"board", 1, 3},
};

bool isOp(const std::string &op) {
  return op == "==" || op == "!=" || op == "<" || op == "<=" || op == ">" || op == ">=";
}

// A finite number: decimal (with fraction and exponent) or hexadecimal "0x...", with an optional
// sign. The whole word must be the number; whatever the process's locale, '.' is the decimal
// point.
bool parseNumber(std::string_view s, double &v) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s[0] == '+' || s[0] == '-') return false;
  const char *end = s.data() + s.size();
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    uint64_t u = 0;
    auto [p, ec] = std::from_chars(s.data() + 2, end, u, 16);
    if (ec != std::errc() || p != end) return false;
    v = static_cast<double>(u);
  } else {
    auto [p, ec] = std::from_chars(s.data(), end, v);
    if (ec != std::errc() || p != end) return false;
  }
  if (negative) v = -v;
  return std::isfinite(v);
}

// Durations of wait and waitfor: from 0 to about thirty years.
constexpr double kMaxSeconds = 1e9;
// How long a swapped board stays off when the script does not say.
constexpr double kBoardOffSeconds = 2.0;
bool parseSeconds(std::string_view s, double &v) {
  return parseNumber(s, v) && v >= 0 && v <= kMaxSeconds;
}

// A key code: a whole number that fits the run-time's int.
bool parseKey(std::string_view s, int &key) {
  double v;
  if (!parseNumber(s, v) || v < 0 || v > std::numeric_limits<int>::max() || v != std::trunc(v))
    return false;
  key = static_cast<int>(v);
  return true;
}

}  // namespace

bool parseScript(const std::string &text, std::vector<ScriptLine> &lines, std::string &error) {
  int number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    std::string raw = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    pos = eol == std::string::npos ? text.size() + 1 : eol + 1;
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    ScriptLine line;
    line.number = number;
    size_t i = 0;
    while (i < raw.size()) {
      char ch = raw[i];
      if (ch == ' ' || ch == '\t') {
        ++i;
      } else if (ch == '#') {
        break;
      } else if (ch == '"') {
        std::string word;
        ++i;
        bool closed = false;
        while (i < raw.size()) {
          if (raw[i] == '\\' && i + 1 < raw.size()) {
            word += raw[i + 1];
            i += 2;
          } else if (raw[i] == '"') {
            closed = true;
            ++i;
            break;
          } else {
            word += raw[i++];
          }
        }
        if (!closed) {
          error = rt::format("line %d: unterminated quoted text", number);
          return false;
        }
        line.words.push_back(word);
        line.quoted.push_back(true);
      } else {
        size_t j = i;
        while (j < raw.size() && raw[j] != ' ' && raw[j] != '\t') ++j;
        line.words.push_back(raw.substr(i, j - i));
        line.quoted.push_back(false);
        i = j;
      }
    }
    if (line.words.empty()) continue;
    const std::string &cmd = line.words[0];
    const CommandShape *shape = nullptr;
    for (const auto &c : kCommands)
      if (cmd == c.name) shape = &c;
    if (!shape || line.quoted[0]) {
      error = rt::format("line %d: unknown command '%s'", number, cmd.c_str());
      return false;
    }
    int args = static_cast<int>(line.words.size()) - 1;
    if (args < shape->minArgs || args > shape->maxArgs) {
      error = rt::format("line %d: wrong number of arguments for '%s'", number, cmd.c_str());
      return false;
    }
    double v;
    int key;
    if (cmd == "wait" && !parseSeconds(line.words[1], v)) {
      error = rt::format("line %d: '%s' is not a duration (0 to %.0f seconds)", number,
                         line.words[1].c_str(), kMaxSeconds);
      return false;
    }
    if (cmd == "key" && !parseKey(line.words[1], key)) {
      error = rt::format("line %d: '%s' is not a key code", number, line.words[1].c_str());
      return false;
    }
    if ((cmd == "waitfor" || cmd == "expect") && !isOp(line.words[2])) {
      error = rt::format("line %d: unknown comparison '%s'", number, line.words[2].c_str());
      return false;
    }
    if (cmd == "waitfor" && args != 3 &&
        (args != 5 || line.words[4] != "timeout" || !parseSeconds(line.words[5], v))) {
      error = rt::format("line %d: waitfor ends with 'timeout SECONDS' (0 to %.0f seconds)", number,
                         kMaxSeconds);
      return false;
    }
    if (cmd == "board" && args != 1 &&
        (args != 3 || line.words[2] != "off" || !parseSeconds(line.words[3], v))) {
      error = rt::format("line %d: board FILE ends with 'off SECONDS' (0 to %.0f seconds)", number,
                         kMaxSeconds);
      return false;
    }
    if (cmd == "answer" && line.words[1] != "yes" && line.words[1] != "no") {
      error = rt::format("line %d: answer takes yes or no", number);
      return false;
    }
    lines.push_back(std::move(line));
  }
  return true;
}

// ---------------------------------------------------------------- running

bool ScriptRunner::resolve(const std::string &name, int &panel, int &control) const {
  size_t dot = name.find('.');
  if (dot == std::string::npos) return false;
  panel = bench_.rt.PanelHandle(name.substr(0, dot));
  if (!panel) return false;
  const rt::Control *c = bench_.rt.panel(panel).findByName(name.substr(dot + 1));
  if (!c) return false;
  control = c->id;
  return true;
}

std::string ScriptRunner::valueText(int panel, int control) const {
  const rt::Runtime &rt = bench_.rt;
  const rt::Control &c = rt.control(panel, control);
  switch (c.kind) {
    case rt::Kind::Ring:
      if (c.ringIndex >= 0)
        return rt::format("%.10g (%s)", c.num, c.items[c.ringIndex].label.c_str());
      return rt::format("%.10g", c.num);
    case rt::Kind::Numeric:
    case rt::Kind::Switch:
    case rt::Kind::Led:
      if (c.type == rt::DataType::Double || c.type == rt::DataType::Float)
        return rt::format("%.10g", c.num);
      return rt::format("%.0f", c.num);
    case rt::Kind::String:
    case rt::Kind::StringDisplay:
      return c.text;
    case rt::Kind::TextBox: {
      std::string out;
      for (size_t i = 0; i < c.lines.size(); ++i) out += (i ? " | " : "") + c.lines[i];
      return out;
    }
    case rt::Kind::Table:
      return rt::format("table %d x %d", c.rows, c.cols);
    case rt::Kind::Graph:
      return rt::format("%zu plot(s)", c.plots.size());
    case rt::Kind::Timer:
      return rt::format("%s, interval %.10g s", c.enabled ? "enabled" : "disabled", c.interval);
    case rt::Kind::Tab:
      return rt::format("page %d", c.activePage);
    case rt::Kind::Button:
      return "button";
  }
  return {};
}

bool ScriptRunner::compare(int panel, int control, const std::string &op, const std::string &value,
                           bool quoted, std::string &error) const {
  const rt::Control &c = bench_.rt.control(panel, control);
  bool numeric =
      !quoted && (c.kind == rt::Kind::Numeric || c.kind == rt::Kind::Switch ||
                  c.kind == rt::Kind::Led || c.kind == rt::Kind::Ring || c.kind == rt::Kind::Timer);
  if (numeric) {
    double want;
    if (!parseNumber(value, want)) {
      error = "'" + value + "' is not a number";
      return false;
    }
    double have = c.kind == rt::Kind::Timer ? (c.enabled ? 1 : 0) : c.num;
    if (op == "==") return have == want;
    if (op == "!=") return have != want;
    if (op == "<") return have < want;
    if (op == "<=") return have <= want;
    if (op == ">") return have > want;
    return have >= want;
  }
  std::string have = valueText(panel, control);
  if (op == "==") return have == value;
  if (op == "!=") return have != value;
  error = "only == and != compare text";
  return false;
}

int ScriptRunner::fail(const ScriptLine &line, const std::string &message, int status) {
  err_ << "script line " << line.number << ": " << message << std::endl;
  return status;
}

int ScriptRunner::run(const std::vector<ScriptLine> &lines) {
  rt::Runtime &rt = bench_.rt;
  for (const ScriptLine &line : lines) {
    if (rt.quitRequested()) return EXIT_OK;
    const std::string &cmd = line.words[0];
    auto target = [&](int &p, int &c) { return resolve(line.words[1], p, c); };
    int p = 0, c = 0;
    try {
      if (cmd == "set") {
        if (!target(p, c)) return fail(line, "unknown control " + line.words[1], EXIT_USAGE);
        const rt::Control &ctl = rt.control(p, c);
        // The operator types into the control: it takes the input focus (the bar-code fields
        // move the focus on from the field that has it).
        rt.SetActiveCtrl(p, c);
        if (line.quoted[2] || ctl.kind == rt::Kind::String || ctl.kind == rt::Kind::StringDisplay ||
            ctl.kind == rt::Kind::TextBox) {
          rt.SetCtrlVal(p, c, line.words[2]);
        } else {
          double v;
          if (!parseNumber(line.words[2], v))
            return fail(line, "'" + line.words[2] + "' is not a number", EXIT_USAGE);
          rt.SetCtrlVal(p, c, v);
        }
      } else if (cmd == "commit") {
        if (!target(p, c)) return fail(line, "unknown control " + line.words[1], EXIT_USAGE);
        if (!rt.control(p, c).callback)
          return fail(line, line.words[1] + " has no callback", EXIT_USAGE);
        if (rt.control(p, c).dimmed)
          return fail(line, line.words[1] + " is dimmed: the operator cannot use it", EXIT_USAGE);
        rt.SetActiveCtrl(p, c);
        rt.Commit(p, c);
      } else if (cmd == "key") {
        int vk = 0;
        parseKey(line.words[1], vk);
        rt.KeyPress(bench_.panels.MainPanel, vk);
      } else if (cmd == "wait") {
        double s = 0;
        parseSeconds(line.words[1], s);
        host_.runFor(s, nullptr);
      } else if (cmd == "waitfor" || cmd == "expect") {
        if (!target(p, c)) return fail(line, "unknown control " + line.words[1], EXIT_USAGE);
        std::string error;
        const std::string &op = line.words[2];
        const std::string &value = line.words[3];
        bool quoted = line.quoted[3];
        bool ok;
        if (cmd == "expect") {
          ok = compare(p, c, op, value, quoted, error);
        } else {
          double timeout = 60;
          if (line.words.size() == 6) parseSeconds(line.words[5], timeout);
          // A comparison that cannot be made ends the wait at once (reported below).
          ok = host_.runFor(
              timeout, [&] { return compare(p, c, op, value, quoted, error) || !error.empty(); });
        }
        if (!error.empty()) return fail(line, error, EXIT_USAGE);
        if (!ok)
          return fail(line,
                      cmd + " failed: " + line.words[1] + " = " + valueText(p, c) + ", wanted " +
                          op + " " + value,
                      EXIT_FAILED);
      } else if (cmd == "answer") {
        op_.queueAnswer(line.words[1] == "yes");
      } else if (cmd == "choose") {
        if (line.words[1] == "cancel" && !line.quoted[1])
          op_.queueChoice(std::nullopt);
        else
          op_.queueChoice(line.words[1]);
      } else if (cmd == "print") {
        if (!target(p, c)) return fail(line, "unknown control " + line.words[1], EXIT_USAGE);
        out_ << line.words[1] << " = " << valueText(p, c) << std::endl;
      } else if (cmd == "screenshot") {
        int panel = rt.PanelHandle(line.words[1]);
        if (!panel) return fail(line, "unknown panel " + line.words[1], EXIT_USAGE);
        std::string error;
        if (!host_.screenshot(panel, line.words[2], error)) return fail(line, error, EXIT_USAGE);
      } else if (cmd == "quit") {
        return EXIT_OK;
      } else if (cmd == "board") {
        // The operator's board swap on the simulated bench: the board powered off, its fibres
        // quiet for a while, the other board put in and powered on; the module stays open.
        double off = kBoardOffSeconds;
        if (line.words.size() == 4) parseSeconds(line.words[3], off);
        std::string error;
        if (!bench_.usb.SimBoardPower(false, error)) return fail(line, error, EXIT_USAGE);
        host_.runFor(off, nullptr);
        const bool inserted = bench_.usb.SimInsertBoard(line.words[1], error);
        std::string onError;
        // A refused file leaves the board that was in; it is powered on again either way.
        if (!bench_.usb.SimBoardPower(true, onError) && inserted) error = onError;
        if (!inserted || !onError.empty()) return fail(line, error, EXIT_USAGE);
        out_ << "[board] " << line.words[1] << std::endl;
      } else if (cmd == "probe") {
        const app::ProbeResult r =
            app::RunProbe(bench_, [&](const std::string &l) { out_ << l << std::endl; });
        if (!r.usable()) return fail(line, "bench check failed", EXIT_FAILED);
      }
    } catch (const std::exception &e) {
      return fail(line, e.what(), EXIT_USAGE);
    }
  }
  return EXIT_OK;
}

int runsExitStatus(const std::vector<functest::FunctionalTest::Outcome> &outcomes,
                   bool stillRunning) {
  bool moduleLost = false, unended = stillRunning, failed = false;
  for (const auto &o : outcomes) {
    moduleLost = moduleLost || o.moduleLost;
    unended = unended || o.verdict == "STOPPED" || o.verdict == "UNFINISHED";
    failed = failed || o.verdict != "PASSED";
  }
  if (moduleLost) return EXIT_MODULE_LOST;
  if (unended) return EXIT_RUN_UNENDED;
  if (failed) return EXIT_RUN_FAILED;
  return EXIT_OK;
}

}  // namespace cli
