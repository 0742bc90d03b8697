#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace velkin {

// "<label>-<number>.caf" with the number zero-padded to six digits; larger
// numbers are written in full, never truncated (label-1000000.caf).
inline std::string segmentFileName(std::string_view label, int64_t number) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%06" PRId64, number);
  std::string name(label);
  name += '-';
  name += digits;
  name += ".caf";
  return name;
}

// The empty file that says a segment is complete: the segment's whole path with
// ".ready" appended, so X.caf is marked by X.caf.ready.
inline std::filesystem::path readyMarkerPath(const std::filesystem::path& segment) {
  return std::filesystem::path(segment.native() + ".ready");
}

}  // namespace velkin
