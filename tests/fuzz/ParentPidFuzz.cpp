// The parent pid argument against a reference reading of its rule: an optional
// sign, one or more ASCII digits and nothing else, within the signed 32-bit
// range. The reference works on the digit string itself, not on an
// accumulated number, so that the two cannot share an overflow mistake.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "app/CommandLine.hpp"

namespace {

std::optional<int32_t> reference(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  while (text.size() > 1 && text.front() == '0') {
    text.remove_prefix(1);
  }
  // The limits have ten digits; compared as strings of equal length.
  const std::string_view limit = negative ? "2147483648" : "2147483647";
  if (text.size() > limit.size() || (text.size() == limit.size() && text > limit)) {
    return std::nullopt;
  }
  int64_t magnitude = 0;
  for (const char c : text) {
    magnitude = magnitude * 10 + (c - '0');
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::string show(std::optional<int32_t> value) {
  return value ? std::to_string(*value) : std::string("absent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<int32_t> parsed = velkin::parseParentPid(text);
  const std::optional<int32_t> expected = reference(text);
  FUZZ_CHECK(parsed == expected, "input \"%s\" (%zu bytes): parsed %s, expected %s", text.c_str(),
             size, show(parsed).c_str(), show(expected).c_str());
  if (parsed) {
    // Whatever was accepted reads back from its plain decimal form.
    FUZZ_CHECK(velkin::parseParentPid(std::to_string(*parsed)) == parsed, "%d does not read back",
               *parsed);
  }
  return 0;
}
