#pragma once

#include <string_view>

namespace velkin {

// Writes `line` (which carries its own "\n") to standard error in one write, so
// that lines from concurrent threads never interleave. Failures are ignored:
// there is nowhere left to report them.
void writeStandardError(std::string_view line);

// Writes `line` to standard output and flushes it, so that a parent reading
// through a pipe sees it at once.
void writeStandardOutput(std::string_view line);

}  // namespace velkin
