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
  // The third argument as given, and what it names when it is a valid one.
  std::optional<std::string> parentArgument;
  std::optional<int32_t> parentPid;
};

// A decimal signed 32-bit number: an optional sign and one or more ASCII digits,
// nothing else. Anything else (blanks, a radix prefix, overflow) is absent.
std::optional<int32_t> parseParentPid(std::string_view text);

// A path made absolute against `currentDirectory`, without trailing separators,
// and otherwise as given: ".." is left for the kernel to resolve, since after a
// symbolic link it names the link's target's parent, not the link's. An empty
// path is the current directory itself.
std::filesystem::path fileLocation(std::string_view path,
                                   const std::filesystem::path& currentDirectory);

// `arguments` excludes the program's name; those after the third are ignored.
// A present argument is used as it is, even when empty; only a missing one takes
// the default: "<cwd>/runtime/segments", and "capture-control" beside the
// segment directory (its path with the last component dropped, or with ".."
// added when that component is "." or "..").
Settings resolveSettings(std::span<const std::string> arguments,
                         const std::filesystem::path& currentDirectory);

}  // namespace velkin
