#include <gtest/gtest.h>

#include "FaultSupport.hpp"

int main(int argc, char** argv) {
  // First, while this is the only thread.
  velkin::faults::prepareMountNamespace(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#if defined(__SANITIZE_THREAD__)
// The players' libpulse is not built for ThreadSanitizer: its own recycling of
// memory through lock-free lists shows as races inside the library. The agent
// carries the same suppressions in its backend.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse.so\n"
         "race:libpulsecommon\n"
         "race:libpulse-simple.so\n";
}
#endif
