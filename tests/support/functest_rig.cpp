#include "support/functest_rig.h"

#include <fstream>

#include "ctl/main_panel.h"
#include "functest/report.h"

namespace testenv {

namespace B = ctl::TabBData;

void QueuedOperator::messagePopup(const std::string &title, const std::string &message) {
  popups.push_back(title + ": " + message);
}

bool QueuedOperator::confirmPopup(const std::string &title, const std::string &message) {
  popups.push_back(title + ": " + message);
  if (answers.empty()) return false;
  const bool a = answers.front();
  answers.pop_front();
  return a;
}

rt::FileSelect QueuedOperator::fileSelectPopup(const rt::FileRequest &, std::string &) {
  return rt::FileSelect::Cancelled;
}

const std::vector<rt::Ctl> &AllStepSwitches() {
  static const std::vector<rt::Ctl> all = {B::Enable10pA,          B::Enable200Counts,
                                           B::EnableCrcLostFrame,  B::EnableTempOtrDac,
                                           B::EnablePowerSupplies, B::EnableHvLevels,
                                           B::EnableCalibrate,     B::EnableSaveDacValues,
                                           B::EnableLinearity,     B::EnableIntegratorLevel,
                                           B::EnableCfcError,      B::EnableCfcTestMode,
                                           B::EnableOtrReset,      B::EnableDacCounters,
                                           B::EnableLongTimeCrc};
  return all;
}

FunctionalRig::FunctionalRig(const std::string &board, double barcodeSeconds,
                             const std::string &resultsDb) {
  const std::string config =
      board.find('/') == std::string::npos ? sourceDir() + "/data/sim/" + board + ".json" : board;
  bench = std::make_unique<app::Bench>(
      clock, app::BenchOptions{uiDir(),
                               simLibrary(),
                               config,
                               dir.file("settings.ini"),
                               {},
                               resultsDb.empty() ? dir.file("results.sqlite") : resultsDb});
  bench->rt.setOperator(&op);
  bench->test.unattended = functest::UnattendedPolicy{true, 150.0, 30.0, 60.0, 0.0};
  bench->StartUp();
  p = bench->panels;
  setText(p.TabBData, B::LinearityFile, sourceDir() + "/data/Card_3_linearity.txt");
  setText(p.TabBData, B::BenchReportPrefix, dir.file("bench"));
  setText(p.TabBData, B::TunnelReportPrefix, dir.file("tunnel"));
  commit(p.MainPanel, ctl::Main::OpenTest);
  runFor(barcodeSeconds);
}

void ScanBarcodes(rt::Runtime &rt, int dataPage) {
  rt.SetCtrlVal(dataPage, B::DeviceBarcode1, "VELTRA317");
  rt.SetCtrlVal(dataPage, B::DeviceBarcode2, "VELTRA-N317");
  rt.SetCtrlVal(dataPage, B::BoardBarcode, "BRD-0000000000000317");
  rt.SetCtrlVal(dataPage, B::Otr1Barcode, "OTR1-000000001");
  rt.SetCtrlVal(dataPage, B::Otr2Barcode, "OTR2-000000002");
  rt.SetCtrlVal(dataPage, B::PcbVersion, 7);
}

void FunctionalRig::scanBarcodes() { ScanBarcodes(rt(), p.TabBData); }

void FunctionalRig::enableOnly(std::initializer_list<rt::Ctl> steps) {
  for (rt::Ctl s : AllStepSwitches()) set(p.TabBData, s, 0);
  for (rt::Ctl s : steps) set(p.TabBData, s, 1);
}

bool FunctionalRig::sequencerRunning() const {
  return bench->rt.GetCtrlAttribute(p.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED) !=
         0;
}

bool FunctionalRig::runToEnd(double limit, const std::function<void()> &each) {
  const double until = clock.now() + limit;
  return rt().RunUntil(until, [&] {
    if (each) each();
    return !sequencerRunning();
  });
}

std::function<void()> FunctionalRig::endLongCheckAfter(double seconds) {
  auto start = std::make_shared<double>(-1.0);
  return [this, seconds, start] {
    if (rt().GetCtrlValS(p.TestCFCPanel, ctl::Test::StepTitle) !=
        "Long time CRC and LostFrame check")
      return;
    if (*start < 0) *start = clock.now();
    if (clock.now() - *start >= seconds) commit(p.TestCFCPanel, ctl::Test::EndLongTest);
  };
}

std::vector<std::string> FunctionalRig::reportLines() const {
  std::vector<std::string> lines;
  std::ifstream in(bench->test.report.ReportFileName);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

namespace {
const std::string kPassed = "PASSED : ", kFailed = "***FAILED : ";
bool startsWith(const std::string &s, const std::string &p) { return s.rfind(p, 0) == 0; }
}  // namespace

std::multiset<std::string> FunctionalRig::failedChecks() const {
  std::multiset<std::string> out;
  for (const std::string &l : reportLines())
    if (startsWith(l, kFailed)) out.insert(l.substr(kFailed.size()));
  return out;
}

std::multiset<std::string> FunctionalRig::passedChecks() const {
  std::multiset<std::string> out;
  for (const std::string &l : reportLines())
    if (startsWith(l, kPassed)) out.insert(l.substr(kPassed.size()));
  return out;
}

int FunctionalRig::resultLines() const {
  return static_cast<int>(failedChecks().size() + passedChecks().size());
}

std::vector<nlohmann::json> FunctionalRig::record() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(functest::RecordPathFor(bench->test.report.ReportFileName));
  for (std::string l; std::getline(in, l);) out.push_back(nlohmann::json::parse(l));
  return out;
}

std::vector<std::string> FunctionalRig::actions() const {
  std::vector<std::string> out;
  for (const nlohmann::json &r : record())
    if (r.value("type", "") == "action") out.push_back(r.value("action", ""));
  return out;
}

}  // namespace testenv
