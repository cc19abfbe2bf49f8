#include "functest/sequencer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "acq/acq_state.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "functest/dac_steps.h"
#include "functest/identification.h"
#include "rt/format.h"
#include "rt/scan.h"

namespace functest {

namespace B = ctl::TabBData;
namespace O = ctl::Options;

namespace {

constexpr const char *kRestart = "Restart the test program after fixing it.";
constexpr int kBiasSetup = 9;  // the current-setup record every channel rests on

bool isResult(int v) { return v == 16 || v == 100 || v == 300; }

// Copies the report to its fail copy through a scratch file flushed to the disk and renamed:
// the copy is whole or absent, never cut short. Empty on success, else the reason.
std::string copyWhole(const std::string &from, const std::string &to) {
  const std::string scratch = to + ".part";
  std::error_code ec;
  std::filesystem::remove(scratch, ec);
  std::filesystem::copy_file(from, scratch, ec);
  std::string reason = ec ? ec.message() : SyncFile(scratch);
  if (reason.empty() && std::rename(scratch.c_str(), to.c_str()) != 0)
    reason = std::strerror(errno);
  if (!reason.empty()) std::filesystem::remove(scratch, ec);
  return reason;
}

}  // namespace

std::vector<int> SwitchedOnStates(rt::Runtime &rt, const ctl::Panels &panels) {
  std::vector<int> on;
  for (int s = kStartState, guard = 0; s >= 0 && s != kEndState && guard < kStates; ++guard) {
    if (rt.GetCtrlValI(panels.TabBData, kStateTable[s].enable.id) != 0) on.push_back(s);
    s = kStateTable[s].successor;
  }
  return on;
}

bool PartialRun(const std::string &variant, const std::optional<std::vector<int>> &stepsOn) {
  return stepsOn && variant == "bench" && static_cast<int>(stepsOn->size()) < kTestSteps;
}

std::string ShownVerdict(const std::string &verdict, const std::string &variant,
                         const std::optional<std::vector<int>> &stepsOn) {
  if (verdict != "PASSED" || !PartialRun(variant, stepsOn)) return verdict;
  return rt::format("PASSED \u2013 %zu of %d steps", stepsOn->size(), kTestSteps);
}

std::vector<std::string> StepsNotRun(const std::vector<int> &stepsOn) {
  std::vector<std::string> off;
  for (int s = kStartState, guard = 0; s >= 0 && s != kEndState && guard < kStates; ++guard) {
    if (std::find(stepsOn.begin(), stepsOn.end(), s) == stepsOn.end())
      off.emplace_back(kStateTable[s].title);
    s = kStateTable[s].successor;
  }
  return off;
}

std::string StepsText(const std::vector<int> &stepsOn) {
  std::string t;
  for (int s : stepsOn) t += (t.empty() ? "" : ",") + std::to_string(s);
  return t;
}

std::optional<std::vector<int>> ParseSteps(const std::string &text) {
  std::vector<int> on;
  size_t at = 0;
  while (at < text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    if (item.empty() || item.size() > 2 ||
        item.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    const int s = std::stoi(item);
    if (s < 0 || s >= kStates || s == kEndState) return std::nullopt;
    on.push_back(s);
    at = comma + 1;
    if (comma + 1 == text.size()) return std::nullopt;  // a trailing comma
  }
  return on;
}

FunctionalTest::FunctionalTest(rt::Runtime &rt, const ctl::Panels &panels, BenchPort &bench)
    : report(rt, panels),
      ctx(rt, panels, bench, report, state),
      rt_(rt),
      panels_(panels),
      bench_(bench) {
  for (int s = 0; s < kStates; ++s) steps_[s] = MakeStep(s);
}

void FunctionalTest::setStep(int s, std::unique_ptr<Step> step) {
  if (s >= 0 && s < kStates && s != kEndState) steps_[s] = std::move(step);
}

bool FunctionalTest::running() const {
  return rt_.GetCtrlAttribute(panels_.TestCFCPanel, ctl::Test::SequencerTimer, rt::ATTR_ENABLED) !=
         0;
}

// ------------------------------------------------------------------------------ starting

bool FunctionalTest::refuseWhileRunning() {
  if (!running()) return false;
  // A second press during a run would restart the sequence in the middle of a step. The
  // starts are dimmed while a run goes; a press that still comes (a script's) is answered in
  // the log, never by a box that would hold the sequencer until someone closes it.
  rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1,
                        "A test is running: stop the running test before starting another one.");
  return true;
}

void FunctionalTest::dimStarts(bool dimmed) {
  for (rt::Ctl start : {ctl::Test::StartBench, ctl::Test::StartTunnel})
    rt_.SetCtrlAttribute(panels_.TestCFCPanel, start, rt::ATTR_DIMMED, dimmed ? 1 : 0);
}

// The sequence state every start sets first: a board under test, no failure yet.
void FunctionalTest::markStarting() {
  state.UnderTest = 1;
  report.ErrorCounts = 0.0f;
  state.StateTest = 0;
  state.TestPassed = 1;
  state.StartedAlready = 0;
}

void FunctionalTest::clearMeasurementState() {
  state.StepNbr = state.ChannelUnderTest = state.NbrCorrectCounts = 0;
  // Nothing measured on the previous board, nor a stop or skip the operator left pressed,
  // reaches this run.
  state.means = ChannelMeans{};
  rt_.SetCtrlVal(panels_.TabSlope, ctl::TabSlope::StopRequest, 0);
  rt_.SetCtrlVal(panels_.TabSlope, ctl::TabSlope::SkipChannel, 0);
  acq::AcqState &a = bench_.state();
  for (int c = 0; c < acq::kChannels; ++c) {
    a.ADC_MIN[c] = 4095;
    a.ADC_MAX[c] = 0;
    a.ADC_DISC[c] = 0;
  }
}

// Test voltage 0, sources unlinked and switched off, every channel on the bias setup. The supply
// reductions are switched off as well: a run stopped during the power-supply step leaves one
// reduced, and every step of the next run would then see a board without that supply.
void FunctionalTest::benchToRest() {
  ctx.opt(O::TestCfcVoltage, 0);
  ctx.opt(O::LinkSources, 0);
  ctx.opt(O::ReduceP5V, 0);
  ctx.opt(O::ReduceM5V, 0);
  ctx.opt(O::ReduceP2V5, 0);
  for (int c = 0; c < 8; ++c) ctx.opt(O::SourceOn[c], 0);
  for (int c = 0; c < 8; ++c) ctx.currentSelect(c, kBiasSetup);
}

int FunctionalTest::refuse(const std::string &title) {
  return refuse({IdProblem{0, title, {}, {}}});
}

// The title is the first problem's message, as the program always had it; the body lists every
// problem in full, with what was expected and what was read, so that one press shows all that
// needs fixing. The test log keeps the previous run's lines.
int FunctionalTest::refuse(const std::vector<IdProblem> &problems) {
  std::string body;
  for (const IdProblem &p : problems) body += (p.expected.empty() ? p.title : p.line()) + "\n";
  if (problems.size() > 1 || !problems[0].expected.empty()) body += "\n";
  body += kRestart;
  if (onRefused) onRefused(problems[0].title);
  rt_.MessagePopup(problems[0].title, body);
  return 0;
}

int FunctionalTest::StartTestCFC(int, int, int event) {
  if (event != rt::EVENT_COMMIT || refuseWhileRunning()) return 0;
  markStarting();
  state.StepNumber = 0;
  state.LinearityIsConforme = 1;
  state.WaitingTime = 1;
  clearMeasurementState();

  ctx.readOutMode(2);
  for (int k = 0; k < 5; ++k) bench_.ReadShowFrame();
  benchToRest();
  bench_.UpdateFPGAConfigFromOptionPanel();
  bench_.UpdateFPGAConfigFromOptionPanel();
  bench_.ReadShowFrame();
  ctx.acquisition(true);
  // Without its module the card number is no reading of the board: say that, not a mismatch.
  if (!bench_.ModuleConnected() || bench_.ModuleLost()) return refuse(moduleMissing());

  const int page = panels_.TabBData;
  const int card = bench_.state().CardNumber;
  rt_.SetCtrlVal(panels_.TestCFCPanel, ctl::Test::FpgaDeviceNumber, card);

  // The linearity file must be the one of this bench's box. A name without "Card_" names no
  // box at all and is refused as well. Every check is made, and every failure said at once.
  std::vector<IdProblem> problems;
  const int box = rt_.GetCtrlValI(panels_.MainPanel, ctl::Main::BoardNumber);
  const std::string file = rt_.GetCtrlValS(page, B::LinearityFile);
  const size_t at = file.find("Card_");
  const int fileBox = at == std::string::npos ? 0 : rt::scanIntAt(file, at + 5);
  if (at == std::string::npos || fileBox != box)
    problems.push_back(IdProblem{
        0, rt::format("Invalide Linearity file (Card_%d) for the VELTRA Box no.(%d)", fileBox, box),
        rt::format("a linearity file named Card_%d", box),
        at == std::string::npos ? "\"" + file + "\", which names no card"
                                : rt::format("Card_%d (", fileBox) + file + ")"});

  const bool idChecks = rt_.GetCtrlValI(page, B::Enable200Counts) == 0 &&
                        rt_.GetCtrlValI(page, B::Enable10pA) == 0 &&
                        rt_.GetCtrlValI(page, B::NoIdCheck) == 0;
  if (idChecks)
    for (IdProblem &p : BenchIdentificationProblems(rt_, page, card))
      problems.push_back(std::move(p));
  if (!problems.empty()) return refuse(problems);
  startRun(rt_.GetCtrlValS(page, B::BenchReportPrefix), "bench");
  return 0;
}

int FunctionalTest::TunnelStartTestCFC(int, int, int event) {
  if (event != rt::EVENT_COMMIT || refuseWhileRunning()) return 0;
  const int page = panels_.TabBData;
  for (rt::Ctl off : {B::EnableHvLevels, B::EnableCfcError, B::EnableIntegratorLevel,
                      B::EnablePowerSupplies, B::EnableLinearity, B::EnableCfcTestMode,
                      B::EnableOtrReset, B::EnableCalibrate, B::EnableDacCounters})
    rt_.SetCtrlVal(page, off, 0);
  for (rt::Ctl on :
       {B::EnableTempOtrDac, B::EnableCrcLostFrame, B::Enable10pA, B::EnableSaveDacValues})
    rt_.SetCtrlVal(page, on, 1);

  markStarting();
  benchToRest();
  bench_.UpdateFPGAConfigFromOptionPanel();
  state.StateTest = kStartState;
  state.ReturnedValue = 16;
  clearMeasurementState();
  ctx.readOutMode(2);
  for (int k = 0; k < 5; ++k) bench_.ReadShowFrame();
  ctx.acquisition(true);
  if (!bench_.ModuleConnected() || bench_.ModuleLost()) return refuse(moduleMissing());
  const int card = bench_.state().CardNumber;
  rt_.SetCtrlVal(panels_.TestCFCPanel, ctl::Test::FpgaDeviceNumber, card);

  // Only the first device label is compared.
  if (auto p = CheckBarcodeField(rt_, page, B::DeviceBarcode1, card)) return refuse({*p});
  startRun(rt_.GetCtrlValS(page, B::TunnelReportPrefix), "tunnel");
  return 0;
}

int FunctionalTest::startRun(const std::string &prefix, const char *variant) {
  // The report's number is claimed by creating the file: a run started at the same moment
  // with the same prefix takes the next one.
  std::string name;
  std::string reason = ClaimReportName(ReportPrefixPath(prefix), bench_.state().CardNumber, name);
  // Nothing is tested without a report: a report that cannot be created refuses the run.
  if (!reason.empty() || !report.Begin(name, reason)) {
    if (onRefused) onRefused("Report file cannot be created");
    rt_.MessagePopup("Report file cannot be created", name + ": " + reason);
    return -1;
  }
  // The run starts: the log is the new run's (a refused start leaves the last run's lines).
  rt_.ResetTextBox(panels_.TestCFCPanel, ctl::Test::LogBox, "");
  dimStarts(true);
  report.ErrorCounts = 0.0f;
  rt_.SetCtrlAttribute(panels_.TabBData, B::RefreshTimer, rt::ATTR_ENABLED, 0);

  const int page = panels_.TabBData;
  RunInfo info;
  info.variant = variant;
  info.wallTime = bench_.WallTime();
  info.cardNumber = bench_.state().CardNumber;
  info.module = bench_.ModuleName();
  info.deviceBarcode1 = BarcodeText(rt_, page, B::DeviceBarcode1);
  info.deviceBarcode2 = BarcodeText(rt_, page, B::DeviceBarcode2);
  info.boardBarcode = BarcodeText(rt_, page, B::BoardBarcode);
  info.otr1Barcode = BarcodeText(rt_, page, B::Otr1Barcode);
  info.otr2Barcode = BarcodeText(rt_, page, B::Otr2Barcode);
  info.pcbVersion = rt_.GetCtrlValI(page, B::PcbVersion);
  info.stepsOn = SwitchedOnStates(rt_, panels_);
  const int lines = rt_.GetNumTextBoxLines(page, B::Comments);
  for (int k = 0; k < lines; ++k) info.comments.push_back(rt_.GetTextBoxLine(page, B::Comments, k));
  report.clock = bench_.Timer();
  report.RecordRun(info);
  runOpen_ = true;
  runInfo_ = info;
  watch_.reset();
  return StartTest(1);
}

int FunctionalTest::StartTest(int) {
  state.StateTest = kStartState;
  state.ReturnedValue = 16;
  report.WriteHeader(runInfo_);
  rt_.SetActiveTabPage(panels_.TestCFCPanel, ctl::Test::Tabs, 0);
  if (CheckIdentifications(ctx) != 100) return -1;
  ctx.StartInterruptions(0.5);
  return 0;
}

// ------------------------------------------------------------------------------ the sequence

StepResult FunctionalTest::callStep(int s) {
  Step *step = steps_[s].get();
  const bool first = state.StartedAlready == 0;
  report.clock = bench_.Timer();
  if (first) report.RecordStep(s, kStateTable[s].title, report.clock);
  const StepResult r = step->call(ctx, first);
  state.StartedAlready = 1;
  return r;
}

int FunctionalTest::InterruptTestCfc(int, int, int event) {
  if (event != rt::EVENT_TIMER_TICK) return 0;
  ctx.SetTimer(ctx.GetTimer() - 0.5f);
  // A lost module ends the run before any step can look at what is left of its data.
  if (runOpen_ && bench_.ModuleLost()) {
    endOnLostModule();
    return 0;
  }
  if (unattended.on && runOpen_) {
    actions_.clear();
    const double now = bench_.Timer();
    watch_.tick(unattended, state, rt_, panels_, now, actions_);
    for (const std::string &a : actions_) {
      rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1,
                            rt::format("UNATTENDED at %.2f [s] : ", now) + a);
      report.RecordAction("unattended", a, now);
    }
  }
  for (;;) {
    const int s = state.StateTest;
    const bool inTable = s >= 0 && s < kStates;
    if (inTable && s == kEndState) {
      report.WriteMessage(kStateTable[s].title);
      state.ReturnedValue = EndOfTest();
    } else if (inTable && steps_[s] &&
               rt_.GetCtrlValI(panels_.TabBData, kStateTable[s].enable.id) != 0) {
      report.WriteMessage(kStateTable[s].title);
      state.ReturnedValue = static_cast<int>(callStep(s));
    }
    if (isResult(state.ReturnedValue)) {
      if (inTable && s != kEndState) {
        state.StateTest = kStateTable[s].successor;
      } else {
        if (inTable) EndOfTest();
        ctx.StopInterruptions();
      }
      state.StartedAlready = 0;
    }
    // A state outside the table ends the sequence here: with 16 still set the loop would
    // otherwise never leave this tick.
    if (state.ReturnedValue != 16 || !inTable || !running()) break;
  }
  return 0;
}

void FunctionalTest::endRecord(bool stopped, const std::string &failCopy) {
  if (!runOpen_) return;
  runOpen_ = false;
  report.RecordEnd(stopped || stopping_, failCopy, bench_.Timer());
  outcomes_.push_back(Outcome{report.Verdict(stopped || stopping_), moduleLost_});
}

std::string FunctionalTest::moduleMissing() {
  const std::string name = bench_.ModuleName();
  if (bench_.ModuleLost())
    return rt::format("QuickUSB module %s lost at %.2f s: the board cannot be tested", name.c_str(),
                      bench_.ModuleLostAt());
  return "No QuickUSB module: the board cannot be tested";
}

void FunctionalTest::endOnLostModule() {
  const std::string name = bench_.ModuleName().empty() ? "?" : bench_.ModuleName();
  const double at = bench_.ModuleLostAt();
  ctx.StopInterruptions();
  report.clock = bench_.Timer();
  report.WriteToLogC(rt::format("QUICKUSB MODULE LOST : %s at %.2f [s]", name.c_str(), at), 0, 1);
  report.endReason = rt::format("QuickUSB module %s lost at %.2f s", name.c_str(), at);
  moduleLost_ = true;
  // The sequence is over: the panel says so, as at the end of the last step.
  report.WriteMessage(kStateTable[kEndState].title);
  EndOfTest();
  moduleLost_ = false;
  report.endReason.clear();
  state.StartedAlready = 0;
  rt_.SetCtrlAttribute(panels_.TabBData, B::RefreshTimer, rt::ATTR_ENABLED, 1);
  rt_.MessagePopup("QuickUSB module lost",
                   rt::format("The module %s stopped answering at %.2f s. The run ends FAILED; "
                              "check the module and its cable, then restart the program.",
                              name.c_str(), at));
}

int FunctionalTest::EndOfTest() {
  // A stopped run says so as its report's last line (before the fail copy is taken).
  if (stopping_ && runOpen_) report.WriteToLog(rt::format(kStoppedLine, bench_.Timer()));
  std::string copy;
  if (report.ErrorCounts > 0 && !report.ReportFileName.empty()) {
    copy = FailCopyName(report.ReportFileName, report.ErrorCounts);
    if (const std::string why = copyWhole(report.ReportFileName, copy); !why.empty()) {
      rt_.InsertTextBoxLine(panels_.TestCFCPanel, ctl::Test::LogBox, -1,
                            "Fail copy not written: " + copy + ": " + why);
      copy.clear();
    }
  }
  const int page = panels_.TabBData;
  rt_.SetCtrlVal(page, B::Otr2Barcode, "---");
  rt_.SetCtrlVal(page, B::Otr1Barcode, "---");
  rt_.SetCtrlVal(page, B::BoardBarcode, "---");
  // The run is over: showing the test panel again may bring the idle refresh back.
  state.UnderTest = 0;
  dimStarts(false);
  endRecord(false, copy);
  return 100;
}

int FunctionalTest::StopTestCFC(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  ctx.StopInterruptions();
  stopping_ = true;
  EndOfTest();
  stopping_ = false;
  report.ErrorCounts = 0.0f;
  ctx.acquisition(false);
  rt_.SetCtrlAttribute(panels_.TabBData, B::RefreshTimer, rt::ATTR_ENABLED, 1);
  rt_.DeleteGraphPlot(panels_.TabSlope, ctl::TabSlope::CfcGraph, -1);
  state.UnderTest = 0;
  return 0;
}

void FunctionalTest::stopForQuit() {
  if (!runOpen_) return;
  report.clock = bench_.Timer();
  report.WriteToLog(rt::format("THE PROGRAM WAS QUIT DURING THE TEST at %.2f [s] ", report.clock));
  report.endReason = "the program was quit during the run";
  StopTestCFC(panels_.TestCFCPanel, ctl::Test::Stop, rt::EVENT_COMMIT);
  report.endReason.clear();
}

int FunctionalTest::CreateDACFile(int, int, int event) {
  if (event == rt::EVENT_COMMIT) CreateDacFile(ctx);
  return 0;
}

int FunctionalTest::EndLogTimeTest(int, int, int event) {
  if (event == rt::EVENT_COMMIT) state.EndOfLongTimeTest = 1;
  return 0;
}

}  // namespace functest
