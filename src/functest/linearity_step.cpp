#include "functest/linearity_step.h"

#include <filesystem>
#include <system_error>

#include "acq/display.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/current_setups.h"
#include "functest/report.h"
#include "rt/format.h"

namespace functest {

namespace O = ctl::Options;

namespace {

constexpr int kLinearityPage = 2;        // page of Test.Tabs
constexpr double kTwoLoopsAbove = 1e-4;  // A: lines above this are measured in two loops
constexpr int kReadAttempts = 3;         // block reads tried before a loop is given up
// Selectors that park a channel during the other half's loop: source open, reference B.
constexpr int kParkedSelA = 0, kParkedSelB = 7;
constexpr uint32_t kCurveColours[8] = {0xFF0000, 0x0000FF, 0x00FF00, 0x00FFFF,
                                       0xFF00FF, 0xFFFF00, 0xA0A0A0, 0xFFFFFF};

// The phases of the step (TestState::StepNumber).
enum Phase : int { kStart = 0, kNextLine = 1, kApply = 2, kMeasure = 3, kEnd = 4 };

}  // namespace

bool NextLinearityLine(std::istream &in, hw::CurrentSetup &line) {
  for (std::string text; std::getline(in, text);) {
    hw::CurrentSetup s;
    // A running-sum number outside 1..12 names no sum: the line cannot be measured.
    if (ParseCurrentSetupLine(text, s) && s.IntegrationTime >= 1 &&
        s.IntegrationTime <= acq::kSums) {
      line = s;
      return true;
    }
  }
  return false;
}

std::string LinearityTable(const LinearityValues &v, int lines) {
  std::string out = "Linearity test result structure\n";
  out += std::string(kDashes60) + "\n";
  out += "Current1 SUM_CH1 SUM_CH2....SUM_CH8\n";
  out += "Current2 SUM_CH1 SUM_CH2....SUM_CH8\n";
  out += std::string(kDashes60) + "\n";
  for (int i = 0; i < lines && i < kLinearityLines; ++i) {
    rt::appendFormat(out, "%e %e %e %e %e %e %e %e %e\n", double(v[0][0][i]), double(v[0][1][i]),
                     double(v[1][1][i]), double(v[2][1][i]), double(v[3][1][i]), double(v[4][1][i]),
                     double(v[5][1][i]), double(v[6][1][i]), double(v[7][1][i]));
  }
  out += std::string(kDashes60) + "\n";
  return out;
}

StepResult LinearityTest::call(TestContext &t, bool first) {
  // Every run of the step starts from its beginning, whatever a stopped run left behind.
  if (first) t.s.StepNumber = kStart;
  switch (t.s.StepNumber) {
    case kStart:
      start(t);
      return StepResult::Running;
    case kNextLine:
      if (!nextLine(t)) return StepResult::Running;
      [[fallthrough]];
    case kApply:
      apply(t);
      [[fallthrough]];
    case kMeasure:
      return measure(t);
    case kEnd:
      return end(t);
    default:
      return StepResult::Running;
  }
}

void LinearityTest::start(TestContext &t) {
  MesIndex = 0;
  j = 0;
  readFailures_ = 0;
  t.s.LinearityIsConforme = 1;
  for (auto &channel : ValForLin)
    for (auto &row : channel)
      for (float &v : row) v = 0.0f;
  for (int &h : HandlePlot) h = 0;
  t.rt.DeleteGraphPlot(t.p.TabLin, ctl::TabLin::Graph, -1);

  t.rt.SetActiveTabPage(t.p.TestCFCPanel, ctl::Test::Tabs, kLinearityPage);
  t.heading("TEST LINEARITY OF INPUTS => Start at %.2f [s] ");
  t.opt(O::TestCfcVoltage, 0);
  t.update();

  // The linearity file is read through a stream of its own, never through the record file's.
  // A file that cannot be read ends the reading as its end does, and the report says so.
  if (file_.is_open()) file_.close();
  file_.clear();
  const std::string path = t.rt.GetCtrlValS(t.p.TabBData, ctl::TabBData::LinearityFile);
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) file_.open(path);
  if (!file_.is_open())
    t.log(rt::format("LINEARITY : the linearity file \"%s\" cannot be read", path.c_str()));

  t.readOutMode(2);
  t.acquisition(true);
  t.acqInterval(1.5);
  t.opt(O::LinkSources, 0);  // takes effect with the next configuration
  t.s.StepNumber = kNextLine;
  t.SetTimer(200.0f);  // shown only
}

bool LinearityTest::nextLine(TestContext &t) {
  if (MesIndex >= kLinearityLines) {
    // The table is full: the lines left are counted and reported, not measured.
    int ignored = 0;
    hw::CurrentSetup unused;
    while (file_.is_open() && NextLinearityLine(file_, unused)) ++ignored;
    if (ignored > 0)
      t.log(
          rt::format("LINEARITY : %d more data lines of the linearity file ignored (at most %d "
                     "lines are measured)",
                     ignored, kLinearityLines));
    t.s.StepNumber = kEnd;
    return false;
  }
  if (!file_.is_open() || !NextLinearityLine(file_, Line)) {
    t.s.StepNumber = kEnd;  // the end runs on the next call
    return false;
  }
  t.s.WaitingTime = Line.WaitingTime;
  LoopNumber = Line.Current > kTwoLoopsAbove ? 2 : 1;
  j = 0;
  t.s.StepNumber = kApply;
  return true;
}

void LinearityTest::apply(TestContext &t) {
  int mux1234 = Line.Mux, mux5678 = Line.Mux;
  int muxB1234 = Line.Mux_1, muxB5678 = Line.Mux_1;
  DetectStartIndex = 0;
  DetectEndIndex = 8;
  if (LoopNumber == 2 && j == 0) {
    mux5678 = kParkedSelA;
    muxB5678 = kParkedSelB;
    DetectEndIndex = 4;
  } else if (LoopNumber == 2) {
    mux1234 = kParkedSelA;
    muxB1234 = kParkedSelB;
    DetectStartIndex = 4;
  }
  for (int c = 0; c < 8; ++c) t.opt(O::SourceSelA[c], c < 4 ? mux1234 : mux5678);
  for (int c = 0; c < 8; ++c) t.opt(O::SourceSelB[c], c < 4 ? muxB1234 : muxB5678);
  for (int c = 0; c < 8; ++c) t.opt(O::SourceOn[c], 0);
  for (int c = 0; c < 8; ++c) t.opt(O::SourceValue[c], Line.Dac[c]);
  t.update();
  ++j;
  readFailures_ = 0;
  t.s.StepNumber = kMeasure;
  OldTime = t.Timer();
}

StepResult LinearityTest::measure(TestContext &t) {
  if (t.Timer() < OldTime + t.s.WaitingTime) return StepResult::Running;  // settling
  const double microAmps = double(Line.Current) * 1000000.0;
  if (t.read() != 0) {
    // A failed block read is tried again on the next ticks; after the last attempt the loop's
    // channels fail with no data, and their table entries hold 0.
    if (++readFailures_ < kReadAttempts) return StepResult::Running;
    t.s.LinearityIsConforme = 0;
    for (int ch = DetectStartIndex; ch < DetectEndIndex; ++ch) {
      ValForLin[ch][0][MesIndex] = Line.Current;
      ValForLin[ch][1][MesIndex] = 0.0f;
    }
    t.result(
        rt::format("LINEARITY : Mesure line %d (%f uA) CH%d to CH%d : no data, block read "
                   "failed %d times",
                   MesIndex + 1, microAmps, DetectStartIndex + 1, DetectEndIndex, kReadAttempts),
        false);
  } else {
    const acq::AcqState &a = t.acq();
    const double low = Line.TolerenceMin, high = Line.TolerenceMax;
    for (int ch = DetectStartIndex; ch < DetectEndIndex; ++ch) {
      const float v = a.SumsMaximumsNormalized[ch][Line.IntegrationTime - 1][acq::kSumHistory - 1];
      ValForLin[ch][0][MesIndex] = Line.Current;
      ValForLin[ch][1][MesIndex] = v;
      if (v > Line.TolerenceMin && v < Line.TolerenceMax) continue;
      t.s.LinearityIsConforme = 0;
      t.result(rt::format("LINEARITY : Mesure line %d (%f uA) OutOfRange CH%d : %f not between "
                          "%.0f and %.0f",
                          MesIndex + 1, microAmps, ch + 1, double(v), low, high),
               false, Measurement{v, "counts/frame", low, high});
    }
  }
  if (LoopNumber == 2 && j < 2) {
    t.s.StepNumber = kApply;  // the other half on the next call
    return StepResult::Running;
  }
  show(t);
  ++MesIndex;
  t.s.StepNumber = kNextLine;
  return StepResult::Running;
}

void LinearityTest::show(TestContext &t) {
  const int page = t.p.TabLin;
  t.rt.SetCtrlVal(page, ctl::TabLin::LineNumber, MesIndex + 1);
  if (HandlePlot[1] != 0) t.rt.DeleteGraphPlot(page, ctl::TabLin::Graph, -1);
  const size_t points = static_cast<size_t>(MesIndex) + 1;
  for (int ch = 0; ch < 8; ++ch)
    HandlePlot[ch] = t.rt.PlotXY(page, ctl::TabLin::Graph, ValForLin[ch][0], ValForLin[ch][1],
                                 points, kCurveColours[ch], 1, 11, 0);
  for (int ch = 0; ch < 8; ++ch)
    t.rt.SetPlotLegend(page, ctl::TabLin::Graph, HandlePlot[ch], acq::kChannelLegend[ch]);
  t.rt.ProcessDrawEvents();
}

StepResult LinearityTest::end(TestContext &t) {
  if (file_.is_open()) file_.close();
  // A test that measured no line has shown nothing to be conform.
  const bool conform = t.s.LinearityIsConforme != 0 && MesIndex > 0;
  t.result("LINEARITY COMPLETE TEST ", conform);
  const std::string reason =
      AppendToFile(t.report.ReportFileName, LinearityTable(ValForLin, MesIndex));
  if (!reason.empty())
    t.rt.InsertTextBoxLine(
        t.p.TestCFCPanel, ctl::Test::LogBox, -1,
        "Linearity table not written: " + t.report.ReportFileName + ": " + reason);
  MesIndex = 0;
  return StepResult::Done;
}

}  // namespace functest
