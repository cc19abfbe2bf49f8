#include "rt/clock.h"

#include <thread>

namespace rt {

void RealClock::waitUntil(double t) {
  double dt = t - now();
  if (dt > 0) std::this_thread::sleep_for(std::chrono::duration<double>(dt));
}

}  // namespace rt
