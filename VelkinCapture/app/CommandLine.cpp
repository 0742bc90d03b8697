#include "app/CommandLine.hpp"

#include <limits>

namespace velkin {

std::optional<int32_t> parseParentPid(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  // Accumulated as a negative number, whose range holds the most negative value.
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 - (c - '0');
    if (value < std::numeric_limits<int32_t>::min()) {
      return std::nullopt;
    }
  }
  if (!negative) {
    value = -value;
    if (value > std::numeric_limits<int32_t>::max()) {
      return std::nullopt;
    }
  }
  return static_cast<int32_t>(value);
}

std::filesystem::path fileLocation(std::string_view path,
                                   const std::filesystem::path& currentDirectory) {
  std::filesystem::path location(path);
  if (!location.is_absolute()) {
    location = currentDirectory / location;
  }
  // "/a/b/" and "/a/b" are the same directory; only the root keeps its separator.
  std::string text = location.string();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

std::span<const std::string> readOptions(std::span<const std::string> arguments,
                                         Settings& settings) {
  while (!arguments.empty() && arguments.front().size() > 1 && arguments.front().front() == '-') {
    const std::string option = arguments.front();
    arguments = arguments.subspan(1);
    if (option == "--") {
      break;
    }
    if (option != "--echo-cancel") {
      settings.unknownOption = option;
      break;
    }
    settings.echoCancel = true;
  }
  return arguments;
}

Settings resolveSettings(std::span<const std::string> allArguments,
                         const std::filesystem::path& currentDirectory) {
  Settings settings;
  const std::span<const std::string> arguments = readOptions(allArguments, settings);
  const std::string defaultSegments = currentDirectory.string() + "/runtime/segments";
  settings.segmentDirectory =
      fileLocation(arguments.size() > 0 ? arguments[0] : defaultSegments, currentDirectory);
  if (arguments.size() > 1) {
    settings.controlDirectory = fileLocation(arguments[1], currentDirectory);
  } else {
    // Dropping a last component by name is what the kernel does too; "." and
    // ".." are no entry of the parent, so the parent is reached through them.
    const std::filesystem::path& segments = settings.segmentDirectory;
    const std::filesystem::path last = segments.filename();
    settings.controlDirectory =
        (last == "." || last == ".." ? segments / ".." : segments.parent_path()) /
        std::filesystem::path("capture-control");
  }
  if (arguments.size() > 2) {
    settings.parentArgument = arguments[2];
    settings.parentPid = parseParentPid(arguments[2]);
  }
  return settings;
}

}  // namespace velkin
