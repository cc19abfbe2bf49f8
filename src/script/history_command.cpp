#include "script/history_command.h"

#include <charconv>
#include <ostream>

#include "app/settings.h"
#include "history/outbox.h"
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
  if (a == "--init-store") {
    o.initStore = true;
  } else if (a == "--import") {
    value(o.importDir);
    if (error.empty() && o.importDir.empty()) error = "--import needs a folder";
  } else if (a == "--sync") {
    o.sync = true;
  } else if (a == "--store-times") {
    o.storeTimes = true;
  } else if (a == "--history") {
    o.history = true;
  } else if (a == "--yield") {
    o.yield = true;
  } else if (a == "--csv") {
    o.csv = true;
  } else if (a == "--partial-runs") {
    o.partialRuns = true;
  } else if (a == "--by") {
    value(o.by);
    if (error.empty() && o.by != "day" && o.by != "week" && o.by != "station")
      error = "--by needs day, week or station, not '" + o.by + "'";
  } else if (a == "--board") {
    value(o.filter.board);
    if (error.empty() && o.filter.board.empty()) error = "--board needs a barcode";
  } else if (a == "--station") {
    // Without a history command it names the bench (read by the program's option table).
    value(o.filter.station);
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
        "--card, --from, --to, --verdict and --check filter --history, --board, --yield, "
        "--failures, --values and --export-junit";
    return false;
  }
  if (o.partialRuns && !o.yield) {
    error = "--partial-runs counts the partial runs in --yield";
    return false;
  }
  if (o.storeTimes && !o.history && o.filter.board.empty()) {
    error = "--store-times shows the store's times in --history and --board";
    return false;
  }
  if ((!o.by.empty() || o.csv) && !o.any()) {
    error =
        "--by and --csv shape the output of --history, --board, --yield, --failures and "
        "--values";
    return false;
  }
  return history::ValidFilter(o.filter, error);
}

int runHistoryCommands(const HistoryOptions &o, const std::string &storePath, std::ostream &out,
                       std::ostream &err) {
  history::Store store(storePath);
  // Bringing a large older store up to date takes a while: said as it goes.
  store.setProgress([&err](const std::string &what) { err << "tessock-cli: " << what << "\n"; });
  std::string error;
  if (o.initStore) {
    std::vector<std::string> said;
    const bool ok = store.setUp(said, error);
    for (const std::string &line : said) out << line << "\n";
    if (!ok) {
      err << "tessock-cli: results store: " << error << "\n";
      return 1;
    }
  }
  // Only an import or a sync writes; the questions open the store read-only (a read-only file
  // or mount answers them, and a store of another program is never touched).
  const bool writes = o.initStore || !o.importDir.empty() || o.sync;
  if (writes ? !store.open(error) : !store.openReadOnly(error)) {
    err << "tessock-cli: results store: " << error << "\n";
    return 1;
  }
  int status = 0;
  if (!o.importDir.empty()) {
    const history::ImportSummary s = store.importFolder(o.importDir);
    for (const std::string &p : s.problems) err << "tessock-cli: import: " << p << "\n";
    out << "imported " << s.runs << " run" << (s.runs == 1 ? "" : "s") << " with " << s.results
        << " result line" << (s.results == 1 ? "" : "s") << " from " << s.files << " file"
        << (s.files == 1 ? "" : "s") << "; " << s.known << " already in the store";
    if (s.completed) out << "; " << s.completed << " completed";
    out << "\n";
    // Lines left out are a failure the caller must see, even when the rest was stored.
    if (!s.problems.empty()) status = 1;
  }
  if (o.sync) {
    history::Outbox outbox(storePath);
    const size_t running = outbox.entries(false).size() - outbox.entries(true).size();
    const history::Outbox::SyncResult r = outbox.sync(store);
    for (const std::string &p : r.summary.problems) err << "tessock-cli: sync: " << p << "\n";
    const size_t left = outbox.entries(false).size();
    out << "synced " << r.records << " record" << (r.records == 1 ? "" : "s") << ": "
        << r.summary.results << " result line" << (r.summary.results == 1 ? "" : "s") << " stored, "
        << r.summary.completed << " run" << (r.summary.completed == 1 ? "" : "s") << " completed, "
        << r.summary.runs << " added; " << left << " still waiting";
    if (running) out << " (" << running << " of a program still running)";
    out << "\n";
    // As with --import: a record with lines left out is a failure, though the rest was stored.
    if (left > running || !r.summary.problems.empty()) status = 1;
  }
  const bool csv = o.csv;
  auto failed = [&](const char *what) {
    err << "tessock-cli: " << what << ": " << error << "\n";
    return 1;
  };
  if (o.history || (!o.filter.board.empty() && !o.yield && !o.failures && !o.valuesGiven &&
                    o.exportJunit.empty())) {
    const auto runs = store.runs(o.filter, error);
    if (!error.empty()) return failed("history");
    out << (csv ? history::RunsCsv(runs) : history::RunsTable(runs, o.storeTimes));
  }
  if (o.yield) {
    const history::YieldBy by = o.by == "week"      ? history::YieldBy::Week
                                : o.by == "station" ? history::YieldBy::Station
                                                    : history::YieldBy::Day;
    const auto rows = store.yield(o.filter, by, error, o.partialRuns);
    if (!error.empty()) return failed("yield");
    const char *heading = o.by.empty() ? "day" : o.by.c_str();
    out << (csv ? history::YieldCsv(rows, heading) : history::YieldTable(rows, heading));
  }
  if (o.failures) {
    const auto rows = store.failures(o.filter, error, o.by == "station");
    if (!error.empty()) return failed("failures");
    out << (csv ? history::FailuresCsv(rows) : history::FailuresTable(rows));
  }
  if (o.valuesGiven) {
    const auto rows = store.values(o.values, o.filter, error);
    if (!error.empty()) return failed("values");
    out << (csv ? history::ValuesCsv(rows) : history::ValuesTable(rows));
  }
  if (!o.exportJunit.empty()) {
    const auto runs = store.runs(o.filter, error);
    if (!error.empty()) return failed("export");
    const std::string xml = history::JUnitXml(store, runs, error);
    if (!error.empty()) return failed("export");
    // Written whole, then renamed over the target, with the settings file's checks: only a
    // regular file (or a link to one) is replaced, and a dashboard never reads half a file.
    const std::string reason = app::ReplaceRegularFile(o.exportJunit, xml);
    if (!reason.empty()) {
      err << "tessock-cli: cannot write " << o.exportJunit << ": " << reason << "\n";
      return 1;
    }
    out << "wrote " << o.exportJunit << " (" << runs.size() << " run"
        << (runs.size() == 1 ? "" : "s") << ")\n";
  }
  return status;
}

}  // namespace cli
