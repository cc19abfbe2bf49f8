#include "functest/fibre_steps.h"

#include "functest/report.h"
#include "rt/format.h"

namespace functest {

namespace {

struct RateCheck {
  const char *correct, *popup, *skipped;
};
constexpr RateCheck kRateChecks[4] = {
    {"CRC FIBER A CORRECT ", "CRC ERROR FIBER A (RATE = %f )",
     "CRC ERROR : ON FIBER A = %f SKIPED BY USER"},
    {"CRC FIBER B CORRECT ", "CRC ERROR FIBER B (RATE = %f )",
     "CRC ERROR : ON FIBER B = %f SKIPED BY USER"},
    {"LOSTF FIBER A CORRECT ", "LOSTF ERROR ON FIBER A (RATE = %f )",
     "LOSTF ERROR : FIBER A = %f SKIPED BY USER"},
    {"LOSTF FIBER B CORRECT ", "LOSTF ERROR ON FIBER B (RATE = %f )",
     "LOSTF ERROR : FIBER B = %f SKIPED BY USER"},
};

void counters(const acq::AcqState &a, uint32_t out[8]) {
  const int32_t v[8] = {a.Erra, a.Errb, a.Losta, a.Lostb, a.Errc, a.Errd, a.Errf, a.Nbrmaxresets};
  for (int k = 0; k < 8; ++k) out[k] = static_cast<uint32_t>(v[k]);
}

}  // namespace

float SmoothRate(float m, float r) {
  if (r == 0.0f || m - r > 5.0f || r > m) return r;
  return (9.0f * m + r) / 10.0f;
}

StepResult TestCRCLostFrame::call(TestContext &t, bool first) {
  t.read();
  const acq::AcqState &a = t.acq();
  const float rates[4] = {a.Erra_rate, a.Errb_rate, a.Losta_rate, a.Lostb_rate};
  if (first) {
    t.readOutMode(2);
    t.acquisition(false);
    t.heading("TEST CRC AND LOSTF => Start at %.2f [s] ");
    for (int k = 0; k < 4; ++k) {
      Reported[k] = 0;
      Smoothed[k] = rates[k];
    }
    t.SetTimer(30.0f);
    return StepResult::Running;
  }
  for (int k = 0; k < 4; ++k) Smoothed[k] = SmoothRate(Smoothed[k], rates[k]);
  if (t.GetTimer() > 0.0f) return StepResult::Running;
  for (int k = 0; k < 4; ++k) {
    if (Reported[k]) continue;
    const Measurement m{Smoothed[k], "1/s", 0.0, 0.0};
    if (Smoothed[k] == 0.0f) {
      t.result(kRateChecks[k].correct, true, m);
      Reported[k] = 1;
      continue;
    }
    // The operator may watch again for 20 s, from this check on, or give the check up.
    if (t.confirm(rt::format(kRateChecks[k].popup, Smoothed[k]), "Try Again ?")) {
      t.SetTimer(20.0f);
      return StepResult::Running;
    }
    Reported[k] = 1;
    t.result(rt::format(kRateChecks[k].skipped, Smoothed[k]), false, m);
  }
  t.acquisition(true);
  return StepResult::Done;
}

StepResult TestLongTimeCRCLF::call(TestContext &t, bool first) {
  t.read();
  if (first) {
    t.readOutMode(2);
    t.acquisition(false);
    t.log(" ");
    LongTestStart = t.Timer();
    t.log(rt::format("TEST LONG TIME CRC AND LOSTF => Start at %.2f [s] ",
                     t.Timer() - LongTestStart));
    t.log(kDashes60);
    counters(t.acq(), Base);
    t.s.EndOfLongTimeTest = 0;
    return StepResult::Running;
  }
  if (t.s.EndOfLongTimeTest == 0) return StepResult::Running;
  uint32_t now[8];
  counters(t.acq(), now);
  uint32_t growth[8];
  for (int k = 0; k < 8; ++k) growth[k] = now[k] - Base[k];
  t.log(rt::format("TEST stopped after %.2f [s] ", t.Timer() - LongTestStart));
  t.log("------------------------------");
  t.log(rt::format("NbrMaxRests     = %.0f ", static_cast<double>(growth[7])));
  static constexpr const char *kLines[7] = {"CRC Errors A    = %.0f ", "CRC Errors B    = %.0f ",
                                            "LOSTF Errors A  = %.0f ", "LOSTF Errors B  = %.0f ",
                                            "ERRC            = %.0f ", "ERRD            = %.0f ",
                                            "ERRF            = %.0f "};
  for (int k = 0; k < 7; ++k) {
    const double g = growth[k];
    t.result(rt::format(kLines[k], g), g < 1.0, Measurement{g, "errors", std::nullopt, 0.0});
  }
  t.acquisition(true);
  return StepResult::Done;
}

}  // namespace functest
