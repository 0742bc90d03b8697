#include <gtest/gtest.h>

#include "FaultSupport.hpp"

int main(int argc, char** argv) {
  // First, while this is the only thread.
  velkin::faults::prepareMountNamespace(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
