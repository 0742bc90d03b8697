#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velkin {

// The agent's settings: options first, then three positional arguments.
struct Settings {
  // "--echo-cancel": the candidate track without the far end's echo.
  bool echoCancel = false;
  // The first option that is not one of the agent's, which fails the start.
  std::optional<std::string> unknownOption;
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

// Reads the options into `settings`; returns the positional arguments after
// them. `arguments` excludes the program's name. Options come first: each argument
// that begins with "-" (but is not "-" itself) up to "--", which ends them and is
// dropped. An unknown option ends them too. Of the positional arguments after
// them, those after the third are ignored.
std::span<const std::string> readOptions(std::span<const std::string> arguments,
                                         Settings& settings);

// The settings of `arguments`, options included. A present positional argument
// is used as it is, even when empty; only a missing one takes the default:
// "<cwd>/runtime/segments", and "capture-control" beside the segment directory (its path with the
// last component dropped, or with ".." added when that component is "." or "..").
Settings resolveSettings(std::span<const std::string> arguments,
                         const std::filesystem::path& currentDirectory);

}  // namespace velkin
