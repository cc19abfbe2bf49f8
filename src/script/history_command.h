// The history commands of tessock-cli: --import DIR, --history, --failures, --values CHECK and
// --export-junit FILE, with the run filters --card, --from, --to, --verdict and --check. They
// work on the results store (--results-db FILE, else the default store) without starting the
// bench.
#pragma once

#include <iosfwd>
#include <string>

#include "history/store.h"

namespace cli {

struct HistoryOptions {
  std::string importDir;
  bool history = false, failures = false;
  std::string values;  // check name (or part of it) whose measured values are printed
  bool valuesGiven = false;
  std::string exportJunit;
  history::Filter filter;
  bool filterGiven = false;
  // Whether any history command was asked for.
  bool any() const {
    return !importDir.empty() || history || failures || valuesGiven || !exportJunit.empty();
  }
};

// Takes argv[i] when it is a history option (and its value, advancing i): true when taken.
// `error` is set (and true answered) when the option lacks its value or has a bad one.
bool parseHistoryOption(int argc, char **argv, int &i, HistoryOptions &options, std::string &error);
// Checks the combination after all options are read; false with a message.
bool checkHistoryOptions(const HistoryOptions &options, std::string &error);

// Runs the commands in the order import, history, failures, values, export. Returns an exit
// status: 0, 1 when the store cannot be used or a file not written.
int runHistoryCommands(const HistoryOptions &options, const std::string &storePath,
                       std::ostream &out, std::ostream &err);

}  // namespace cli
