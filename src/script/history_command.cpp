#include "script/history_command.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "functest/report.h"
#include "history/questions.h"

namespace cli {

bool parseHistoryOption(int argc, char **argv, int &i, HistoryOptions &o, std::string &error) {
  const std::string a = argv[i];
  auto value = [&](std::string &into) {
    if (i + 1 >= argc) {
      error = "option " + a + " needs a value";
      return;
    }
    into = argv[++i];
  };
  if (a == "--import") {
    value(o.importDir);
    if (error.empty() && o.importDir.empty()) error = "--import needs a folder";
  } else if (a == "--history") {
    o.history = true;
  } else if (a == "--failures") {
    o.failures = true;
  } else if (a == "--values") {
    value(o.values);
    o.valuesGiven = true;
  } else if (a == "--export-junit") {
    value(o.exportJunit);
    if (error.empty() && o.exportJunit.empty()) error = "--export-junit needs a file";
  } else if (a == "--card") {
    std::string text;
    value(text);
    long long card = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), card);
    if (error.empty() && (ec != std::errc() || end != text.data() + text.size()))
      error = "--card needs a whole number, not '" + text + "'";
    o.filter.card = card;
    o.filterGiven = true;
  } else if (a == "--from" || a == "--to" || a == "--verdict" || a == "--check") {
    value(a == "--from"      ? o.filter.from
          : a == "--to"      ? o.filter.to
          : a == "--verdict" ? o.filter.verdict
                             : o.filter.check);
    o.filterGiven = true;
  } else {
    return false;
  }
  return true;
}

bool checkHistoryOptions(const HistoryOptions &o, std::string &error) {
  if (o.filterGiven && !o.any()) {
    error =
        "--card, --from, --to, --verdict and --check filter --history, --failures, --values "
        "and --export-junit";
    return false;
  }
  return history::ValidFilter(o.filter, error);
}

int runHistoryCommands(const HistoryOptions &o, const std::string &storePath, std::ostream &out,
                       std::ostream &err) {
  history::Store store(storePath);
  std::string error;
  if (!store.open(error)) {
    err << "tessock-cli: results store: " << error << "\n";
    return 1;
  }
  int status = 0;
  if (!o.importDir.empty()) {
    const history::ImportSummary s = store.importFolder(o.importDir);
    for (const std::string &p : s.problems) err << "tessock-cli: import: " << p << "\n";
    out << "imported " << s.runs << " run" << (s.runs == 1 ? "" : "s") << " with " << s.results
        << " result line" << (s.results == 1 ? "" : "s") << " from " << s.files << " file"
        << (s.files == 1 ? "" : "s") << "; " << s.known << " already in the store\n";
    if (s.files == 0 && !s.problems.empty()) status = 1;
  }
  auto failed = [&](const char *what) {
    err << "tessock-cli: " << what << ": " << error << "\n";
    return 1;
  };
  if (o.history) {
    const auto runs = store.runs(o.filter, error);
    if (!error.empty()) return failed("history");
    out << history::RunsTable(runs);
  }
  if (o.failures) {
    const auto rows = store.failures(o.filter, error);
    if (!error.empty()) return failed("failures");
    out << history::FailuresTable(rows);
  }
  if (o.valuesGiven) {
    const auto rows = store.values(o.values, o.filter, error);
    if (!error.empty()) return failed("values");
    out << history::ValuesTable(rows);
  }
  if (!o.exportJunit.empty()) {
    const auto runs = store.runs(o.filter, error);
    if (!error.empty()) return failed("export");
    const std::string xml = history::JUnitXml(store, runs, error);
    if (!error.empty()) return failed("export");
    // Written whole, then renamed over the target: a dashboard never reads half a file.
    const std::string temp = o.exportJunit + ".part";
    std::remove(temp.c_str());
    std::string reason = functest::AppendToFile(temp, xml);
    if (reason.empty() && std::rename(temp.c_str(), o.exportJunit.c_str()) != 0)
      reason = std::strerror(errno);
    if (!reason.empty()) {
      std::remove(temp.c_str());
      err << "tessock-cli: cannot write " << o.exportJunit << ": " << reason << "\n";
      return 1;
    }
    out << "wrote " << o.exportJunit << " (" << runs.size() << " run"
        << (runs.size() == 1 ? "" : "s") << ")\n";
  }
  return status;
}

}  // namespace cli
