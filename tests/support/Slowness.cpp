#include "Slowness.hpp"

#include <cmath>
#include <cstdlib>

#ifndef VELKIN_BUILD_SLOWNESS
#error "VELKIN_BUILD_SLOWNESS must say how slow this build is"
#endif

namespace velkin::testing {

double slowness() {
  static const double factor = [] {
    if (const char* given = std::getenv("VELKIN_TEST_SLOWNESS")) {
      char* end = nullptr;
      const double value = std::strtod(given, &end);
      if (end != given && *end == '\0' && value >= 1 && value <= 100) {
        return value;
      }
    }
    return double(VELKIN_BUILD_SLOWNESS);
  }();
  return factor;
}

std::chrono::milliseconds stretched(std::chrono::milliseconds allowance) {
  return std::chrono::milliseconds(std::llround(double(allowance.count()) * slowness()));
}

}  // namespace velkin::testing
