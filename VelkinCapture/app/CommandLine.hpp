#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velkin {

// The agent's three settings, all from positional arguments.
struct Settings {
  std::filesystem::path segmentDirectory;
  std::filesystem::path controlDirectory;
  std::optional<int32_t> parentPid;
};

// A decimal signed 32-bit number: an optional sign and one or more ASCII digits,
// nothing else. Anything else (blanks, a radix prefix, overflow) is absent.
std::optional<int32_t> parseParentPid(std::string_view text);

// A path made absolute against `currentDirectory`, without trailing separators.
// An empty path is the current directory itself.
std::filesystem::path fileLocation(std::string_view path,
                                   const std::filesystem::path& currentDirectory);

// `arguments` excludes the program's name; those after the third are ignored.
// A present argument is used as it is, even when empty; only a missing one takes
// the default: "<cwd>/runtime/segments", and "capture-control" beside the
// segment directory.
Settings resolveSettings(std::span<const std::string> arguments,
                         const std::filesystem::path& currentDirectory);

}  // namespace velkin
