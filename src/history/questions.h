// The history questions as text: the tables the command line prints and the JUnit XML of a
// selection of runs.
#pragma once

#include <string>
#include <vector>

#include "history/store.h"

namespace history {

// Minimum, median (the mean of the two middle values for an even count) and maximum.
struct Spread {
  int count = 0;
  double min = 0, median = 0, max = 0;
};
Spread SpreadOf(std::vector<double> values);

// One line per run under a heading, then "N runs".
std::string RunsTable(const std::vector<RunRow> &runs);
// Checks ranked by failures: failed lines, lines checked, runs failed, check name.
std::string FailuresTable(const std::vector<FailureRow> &rows);
// Per check name: its spread and limits, then its value in each run.
std::string ValuesTable(const std::vector<ValueRow> &rows);

// JUnit XML of `runs`: one test suite per step of each run (result lines without a step in one
// suite of their own), one test case per result line, a failure element for each failed line.
// Empty with `error` set on a store error.
std::string JUnitXml(Store &store, const std::vector<RunRow> &runs, std::string &error);

}  // namespace history
