// Fuzz target: the HTML page of a record. The input is a record (one JSON object a line),
// optionally followed by a form feed and the text report beside it (for its linearity table).
//
// Checked beside memory safety and an end in bounded time (libFuzzer's -timeout): the page is
// whole, shows one of the five verdicts, holds no markup of the record's own (every text is
// escaped) and draws no coordinate that is not a number.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "functest/html_report.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "fuzz_html_report: %s\n", what);
  std::abort();
}

void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const size_t split = input.find('\f');
  const std::string record = input.substr(0, split);
  const std::string report = split == std::string::npos ? std::string() : input.substr(split + 1);
  const std::string page = functest::HtmlReportFromRecord(record, "r_DN_1_0.jsonl", report);

  check(page.rfind("<!DOCTYPE html>\n", 0) == 0, "the page's start");
  const std::string tail = "</body>\n</html>\n";
  check(
      page.size() >= tail.size() && page.compare(page.size() - tail.size(), tail.size(), tail) == 0,
      "the page's end");
  bool verdict = false;
  for (const char *v : {"PASSED", "FAILED", "STOPPED", "INCOMPLETE", "UNFINISHED"})
    verdict = verdict || page.find(std::string("id=\"verdict\">") + v) != std::string::npos;
  check(verdict, "no verdict of the five");
  check(page.find("<script") == std::string::npos, "markup of the record's own");
  check(page.find("<img") == std::string::npos, "markup of the record's own");
  // Every attribute of the plots is a figure or a word of the page's own.
  for (size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at)) {
    const size_t end = page.find("</svg>", at);
    check(end != std::string::npos, "a plot without its end");
    for (size_t q = page.find("=\"", at); q < end; q = page.find("=\"", q + 2)) {
      const std::string value = page.substr(q + 2, page.find('"', q + 2) - q - 2);
      check(value.find("nan") == std::string::npos && value.find("inf") == std::string::npos,
            "a coordinate that is not a number");
    }
    at = end;
  }
  return 0;
}
