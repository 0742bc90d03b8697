#include "Slowness.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#ifndef VELKIN_BUILD_SLOWNESS
#error "VELKIN_BUILD_SLOWNESS must say how slow this build is"
#endif

namespace velkin::testing {

double slowness() {
  const char* given = std::getenv("VELKIN_TEST_SLOWNESS");
  return std::clamp(given ? std::atof(given) : 0.0, double(VELKIN_BUILD_SLOWNESS), 100.0);
}

std::chrono::milliseconds stretched(std::chrono::milliseconds allowance) {
  return std::chrono::milliseconds(std::llround(double(allowance.count()) * slowness()));
}

}  // namespace velkin::testing
