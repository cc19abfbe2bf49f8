#include "rt/clock.h"

#include <algorithm>
#include <thread>

namespace rt {

void RealClock::waitUntil(double t) {
  // Slept in slices of at most an hour: a very long wait stays within what the sleep's
  // conversion to whole nanoseconds can hold.
  for (double dt = t - now(); dt > 0; dt = t - now())
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(dt, 3600.0)));
}

}  // namespace rt
