// What a board is expected to fail, and a run's record held against it: the expectations of the
// simulated boards (their "expect" field) name failing result lines per step by check text, with
// '*' for measured figures.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace testenv {

// A check text with its runs of blanks collapsed and trailing blanks taken off, as expectations
// are written.
std::string collapse(const std::string &text);

// `pattern` against `text`; '*' stands for any run of characters (measured figures).
bool globMatch(const std::string &pattern, const std::string &text);

// Failing lines per step title.
using Expected = std::map<std::string, std::vector<std::string>>;
// Steps whose lines decide nothing on a board (the module is gone: the program reads its
// pseudo-random no-hardware data).
using Undecided = std::set<std::string>;

Expected readExpected(const nlohmann::json &byStep);

// The result lines of a record against what is expected: every failed line must match an
// expected line of its step (each expected line taken once), and every expected line must have
// failed. Empty when they agree, else one line per disagreement. With `allExpected` false, an
// expected line that did not fail is no disagreement (a run of some steps only, or of steps
// whose failure depends on what ran before them).
std::string compare(const std::vector<nlohmann::json> &record, const Expected &expected,
                    const Undecided &undecided = {}, bool allExpected = true);

}  // namespace testenv
