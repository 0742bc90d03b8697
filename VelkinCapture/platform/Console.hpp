#pragma once

#include <string>
#include <string_view>

namespace velkin {

// Writes `line` (which carries its own "\n") to standard error in one write, so
// that lines from concurrent threads never interleave. Failures are ignored:
// there is nowhere left to report them.
void writeStandardError(std::string_view line);

// Writes `line` to standard output and flushes it, so that a parent reading
// through a pipe sees it at once.
void writeStandardOutput(std::string_view line);

// `text` as valid UTF-8 without control characters: each control character, and
// each byte that is not part of a valid UTF-8 sequence, written as \xNN (a C1
// control as its two bytes, \xc2\xNN).
std::string escapeText(std::string_view text);

}  // namespace velkin
