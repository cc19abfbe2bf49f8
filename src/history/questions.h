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

// One line per run under a heading, then "N runs". With `storeTimes`, when the store received
// each run's start and end (its own clock, UTC). A run whose bench clock differed from the
// store's by more than kClockToleranceSeconds is followed by a line "     !  bench clock ...
// the store's".
std::string RunsTable(const std::vector<RunRow> &runs, bool storeTimes = false);
// Checks ranked by failures: failed lines, lines checked, runs failed, check name; with the
// station first when the rows are per station.
std::string FailuresTable(const std::vector<FailureRow> &rows);
// Per check name: its spread and limits, the spread on each station, then its value in each run.
std::string ValuesTable(const std::vector<ValueRow> &rows);
// Per group (`by` names it: day, week or station): boards, first-pass yield, runs, retests.
std::string YieldTable(const std::vector<YieldRow> &rows, const std::string &by);

// The same as CSV (RFC 4180: a heading line, quoted fields where needed, CRLF line ends). A text
// cell that a spreadsheet would take for a formula (=, +, -, @, tab or carriage return first)
// starts with a quote mark; number cells are plain numbers.
std::string RunsCsv(const std::vector<RunRow> &runs);
std::string FailuresCsv(const std::vector<FailureRow> &rows);
std::string ValuesCsv(const std::vector<ValueRow> &rows);
std::string YieldCsv(const std::vector<YieldRow> &rows, const std::string &by);

// JUnit XML of `runs`: one test suite per step of each run (result lines without a step in one
// suite of their own), one test case per result line, a failure element for each failed line.
// A suite's hostname is the run's station; a case's time the clock from the line before it (or
// the step's start) to its own; case names without the report's trailing blanks.
// Empty with `error` set on a store error.
std::string JUnitXml(Store &store, const std::vector<RunRow> &runs, std::string &error);

}  // namespace history
