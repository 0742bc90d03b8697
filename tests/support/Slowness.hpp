#pragma once

// How long a test may wait for what it waits for, in a build or on a machine
// that runs slower than a plain build on an idle one.

#include <chrono>

namespace velkin::testing {

// How many times slower than a plain build everything may run here: the build's
// own figure (the sanitizers slow every thread several times over), or
// VELKIN_TEST_SLOWNESS from the environment (at most 100) when that is larger,
// for a machine busy with other work.
double slowness();

// `allowance` stretched by slowness(). Only for deadlines by which something
// must have happened, which cost nothing when it does, and for the part of a
// time limit that is the test's own work rather than what the test proves (the
// agent's poll interval stays what it is). Never for what is measured in the
// recorded audio: its placement, its length, its gaps.
std::chrono::milliseconds stretched(std::chrono::milliseconds allowance);

}  // namespace velkin::testing
