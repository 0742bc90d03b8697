#pragma once

// How long a test may wait for what it waits for, in a build or on a machine
// that runs slower than a plain build on an idle one.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#ifndef VELKIN_BUILD_SLOWNESS
#error "VELKIN_BUILD_SLOWNESS must say how slow this build is"
#endif

namespace velkin::testing {

// How many times slower than a plain build everything may run here: the build's
// own figure (the sanitizers slow every thread several times over), or
// VELKIN_TEST_SLOWNESS from the environment (at most 100) when that is larger,
// for a machine busy with other work.
inline double slowness() {
  const char* given = std::getenv("VELKIN_TEST_SLOWNESS");
  return std::clamp(given ? std::atof(given) : 0.0, double(VELKIN_BUILD_SLOWNESS), 100.0);
}

// `allowance` stretched by slowness(). Only for deadlines by which something
// must have happened, which cost nothing when it does, and for the part of a
// time limit that is the test's own work rather than what the test proves (the
// agent's poll interval stays what it is). Never for what is measured in the
// recorded audio: its placement, its length, its gaps.
inline std::chrono::milliseconds stretched(std::chrono::milliseconds allowance) {
  return std::chrono::milliseconds(std::llround(double(allowance.count()) * slowness()));
}

}  // namespace velkin::testing
