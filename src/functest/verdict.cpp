#include "functest/verdict.h"

#include "rt/format.h"

namespace functest {

RunVerdict VerdictOfRun(const RunEnding &e) {
  if (!e.ended) return {"UNFINISHED", "the run has no end (the program ended during it)"};
  if (!e.lost.empty()) return {"INCOMPLETE", e.lost};
  if (e.written == "INCOMPLETE") return {"INCOMPLETE", {}};
  // Records written before the stopped verdict say how the run ended beside PASSED or FAILED.
  if (e.stopped || e.written == "STOPPED") return {"STOPPED", {}};
  if (e.written == "FAILED") return {"FAILED", {}};
  const bool counted = e.errorCounts.has_value();
  const double failed = e.errorCounts.value_or(0);
  const bool anyFailed = !(failed <= 0);  // a count that is not a number counts as failed
  if (e.written == "PASSED")
    return anyFailed ? RunVerdict{"FAILED", rt::format("the end says PASSED, with %g failed "
                                                       "lines counted",
                                                       failed)}
                     : RunVerdict{"PASSED", {}};
  const std::string said = e.written.empty()
                               ? std::string("the end has no verdict")
                               : "the end's verdict '" + e.written +
                                     "' is none of PASSED, FAILED, STOPPED or INCOMPLETE";
  if (!counted) return {"INCOMPLETE", said + " and no count of failed lines"};
  return {anyFailed ? "FAILED" : "PASSED", said + "; taken from its count of failed lines"};
}

}  // namespace functest
