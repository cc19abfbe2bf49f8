// Fuzz target: the record reader of the results store, as `--sync` and `--import` use it. The
// input is a record (one JSON object a line) beside its report's name; its run waits in the
// outbox and `sync` imports it into a new SQLite store; then the same record is imported again
// from its folder, and the store is questioned and exported.
//
// Checked beside memory safety: every run shows one of the five verdicts; a run without its end
// is UNFINISHED and a run whose end says it was stopped is never PASSED; importing the record
// again adds no run; every CSV text cell that could start a formula is quoted off; the JUnit
// export is XML that reads back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "history/outbox.h"
#include "history/questions.h"
#include "history/store.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "fuzz_record_import: %s\n", what.c_str());
  std::abort();
}

void check(bool ok, const std::string &what) {
  if (!ok) fail(what);
}

// A scratch folder for the whole run; the outbox lives under it (XDG_DATA_HOME).
struct Fixture {
  std::string dir;
  Fixture() {
    char name[] = "/tmp/fuzz_record_import.XXXXXX";
    if (!mkdtemp(name)) fail("no temporary folder");
    dir = name;
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

// Whether a CSV text holds a cell (outside quotes, or quoted) that starts a formula.
void checkCsv(const std::string &csv) {
  bool quoted = false, cellStart = true;
  std::string cell;
  for (size_t k = 0; k < csv.size(); ++k) {
    const char c = csv[k];
    if (cellStart) {
      cellStart = false;
      if (c == '"') {
        quoted = true;
        if (k + 1 < csv.size())
          check(std::string_view("=+@\t\r").find(csv[k + 1]) == std::string_view::npos,
                "a quoted CSV cell starts a formula");
        continue;
      }
      check(std::string_view("=+@\t").find(c) == std::string_view::npos,
            "a CSV cell starts a formula");
      if (c == '-') {
        size_t end = csv.find_first_of(",\r", k);
        const std::string number = csv.substr(k, end - k);
        char *stop = nullptr;
        std::strtod(number.c_str(), &stop);
        check(*stop == '\0', "a CSV cell starting with '-' is no number: " + number);
      }
    }
    if (quoted) {
      if (c == '"' && k + 1 < csv.size() && csv[k + 1] == '"')
        ++k;
      else if (c == '"')
        quoted = false;
      continue;
    }
    if (c == ',') cellStart = true;
    if (c == '\n') cellStart = true;
  }
  check(!quoted, "a CSV quote left open");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Fixture &fx = fixture();
  const std::string folder = fx.dir + "/records";
  const std::string storePath = fx.dir + "/results.sqlite";
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::remove(storePath, ec);
  fs::create_directories(folder, ec);
  const std::string report = folder + "/bench_DN_1_0.txt";
  const std::string record = folder + "/bench_DN_1_0.jsonl";
  {
    std::ofstream out(record, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }

  history::Store store(storePath);
  std::string reason;
  check(store.open(reason), "the store does not open: " + reason);
  {
    history::Outbox outbox(storePath);
    outbox.add(report);
    outbox.release();
    const history::Outbox::SyncResult synced = outbox.sync(store);
    check(synced.summary.files <= 1, "more than the one record read");
  }
  std::string error;
  const std::vector<history::RunRow> runs = store.runs({}, error);
  check(error.empty(), "the store's runs: " + error);
  const history::ImportSummary again = store.importFolder(folder);
  check(again.runs == 0, "importing the record again added a run");
  check(store.runs({}, error).size() == runs.size(), "importing the record again changed the runs");

  for (const history::RunRow &r : runs) {
    check(r.verdict == "PASSED" || r.verdict == "FAILED" || r.verdict == "STOPPED" ||
              r.verdict == "INCOMPLETE" || r.verdict == "UNFINISHED",
          "a run's verdict is none of the five: " + r.verdict);
    check(r.finished || r.verdict == "UNFINISHED", "a run without its end is not UNFINISHED");
    check(!(r.how == "stopped" && r.verdict == "PASSED"), "a stopped run PASSED");
    store.steps(r.id, error);
    store.results(r.id, error);
    check(error.empty(), "a run's lines: " + error);
  }
  checkCsv(history::RunsCsv(runs));
  checkCsv(history::FailuresCsv(store.failures({}, error, true)));
  checkCsv(history::ValuesCsv(store.values("", {}, error)));
  checkCsv(history::YieldCsv(store.yield({}, history::YieldBy::Station, error), "station"));
  history::RunsTable(runs);
  const std::string xml = history::JUnitXml(store, runs, error);
  check(error.empty(), "the JUnit export: " + error);
  pugi::xml_document doc;
  check(static_cast<bool>(doc.load_string(xml.c_str())), "the JUnit export is no XML");
  return 0;
}
