// The history commands of tessock-cli: --init-store, --import DIR, --sync, --history, --board
// BARCODE, --yield,
// --failures, --values CHECK and --export-junit FILE, with the run filters --card, --from, --to,
// --verdict, --check and --station, the grouping --by and the --csv output. They work on the
// results store (--results-db FILE or URI, else the configured or default store) without
// starting the bench.
#pragma once

#include <iosfwd>
#include <string>

#include "history/store.h"

namespace cli {

struct HistoryOptions {
  bool initStore = false;  // the administrator's set-up of the store
  std::string importDir;
  bool storeTimes = false;  // --history and --board show when the store received each run
  bool sync = false, history = false, failures = false, yield = false, csv = false;
  bool partialRuns = false;  // --yield counts runs with steps switched off as well
  std::string by;      // day, week or station: the groups of --yield, and --failures per station
  std::string values;  // check name (or part of it) whose measured values are printed
  bool valuesGiven = false;
  std::string exportJunit;
  history::Filter filter;
  bool filterGiven = false;
  // Whether any history command was asked for.
  bool any() const {
    return initStore || !importDir.empty() || sync || history || failures || yield || valuesGiven ||
           !exportJunit.empty() || !filter.board.empty();
  }
};

// Takes argv[i] when it is a history option (and its value, advancing i): true when taken.
// `error` is set (and true answered) when the option lacks its value or has a bad one.
bool parseHistoryOption(int argc, char **argv, int &i, HistoryOptions &options, std::string &error);
// Checks the combination after all options are read; false with a message.
bool checkHistoryOptions(const HistoryOptions &options, std::string &error);

// Runs the commands in the order init-store, import, sync, history (or board), yield, failures,
// values, export. Returns an exit status: 0, 1 when the store cannot be used or a file not written.
int runHistoryCommands(const HistoryOptions &options, const std::string &storePath,
                       std::ostream &out, std::ostream &err);

}  // namespace cli
