// Deterministic noise: a hash of (seed, stream, index), so that the same board configuration
// gives the same values at the same time whatever the order of the reads.
#pragma once

#include <cstdint>

namespace sim {

inline uint64_t mix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in [0, 1).
inline double unitNoise(uint64_t seed, uint64_t stream, uint64_t index) {
  const uint64_t h = mix64(seed ^ mix64(stream ^ mix64(index)));
  return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace sim
