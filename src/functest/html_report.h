// The HTML report of a run: one self-contained, printable page made from the run's record
// (<name>.jsonl) and written beside its text report as <name>.html. It shows the header and
// barcodes, the verdict, a table per step with every result line (value, limits, verdict) and
// plots of the run drawn as inline SVG: the HV switch points against their limits, the
// linearity per channel, the DAC counters per channel and the bias periods per channel.
//
// The text report stays the reference; the page is made from the record, so any record, also
// one written before this page existed, gets one. The linearity plot also reads the linearity
// table the step appends to the text report beside the record (the record holds only the lines
// that were out of range); without the report it shows those alone.
#pragma once

#include <string>

#include "ctl/panels.h"
#include "functest/run_sink.h"
#include "rt/runtime.h"

namespace functest {

// The page's name: the record's (or report's) name with its extension replaced by ".html".
std::string HtmlReportPathFor(const std::string &recordOrReport);

// The page of a record's text (one JSON object a line). Lines that are no JSON object are left
// out and counted in the page.
// `reportText`: the run's text report, for its linearity table (empty: none at hand).
std::string HtmlReportFromRecord(const std::string &recordText, const std::string &recordName,
                                 const std::string &reportText = {});

// Reads the record and writes its page beside it (through a scratch file renamed over the
// page). Empty on success, else the reason; `htmlPath` is set either way.
std::string WriteHtmlReport(const std::string &recordPath, std::string &htmlPath);

// Writes the page of each run when it ends (the record's end line is written by then). A page
// that cannot be written is said in Test.LogBox; the run's verdict does not depend on it.
class HtmlReportSink : public RunSink {
 public:
  HtmlReportSink(rt::Runtime &rt, const ctl::Panels &panels) : rt_(rt), panels_(panels) {}
  std::string runBegun(const RunEvent &run) override;
  std::string stepBegun(int, const std::string &, double) override { return {}; }
  std::string resultWritten(const ResultEvent &) override { return {}; }
  std::string runEnded(const EndEvent &end) override;
  // The page of the last run that ended (empty: none yet or not written).
  const std::string &lastPage() const { return lastPage_; }

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  std::string report_, lastPage_;
};

}  // namespace functest
