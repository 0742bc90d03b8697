// The command line and the working directory, as NUL-separated strings (the
// one byte no argument or path can hold): the first is the working directory,
// made absolute and canonical as the kernel's always is; the rest, up to four,
// are the arguments. Whatever they hold, both directories come out absolute and in
// normal form, without a trailing separator except for the root itself, and
// the defaults follow their rule.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzCheck.hpp"
#include "app/CommandLine.hpp"

namespace {

namespace fs = std::filesystem;

// Absolute, "/" or "/a/b" with no empty, "." or ".." component.
bool isCleanAbsolute(const std::string& path) {
  return path.starts_with('/') && fs::path(path).lexically_normal() == path &&
         (path == "/" || !path.ends_with('/'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  // The working directory as the kernel reports one: absolute, in normal form.
  const fs::path cwd = velkin::fileLocation(pieces.front(), "/");
  // One more argument than the agent reads.
  const std::vector<std::string> arguments(
      pieces.begin() + 1, pieces.begin() + std::min<std::size_t>(pieces.size(), 5));

  const velkin::Settings settings = velkin::resolveSettings(arguments, cwd);
  const std::string segments = settings.segmentDirectory.string();
  const std::string control = settings.controlDirectory.string();
  FUZZ_CHECK(isCleanAbsolute(segments), "segment directory \"%s\"", segments.c_str());
  FUZZ_CHECK(isCleanAbsolute(control), "control directory \"%s\"", control.c_str());
  // A location already made is its own location, wherever it is resolved from.
  FUZZ_CHECK(velkin::fileLocation(segments, "/elsewhere") == settings.segmentDirectory,
             "\"%s\" moves when resolved again", segments.c_str());
  FUZZ_CHECK(!arguments.empty() || segments.ends_with("/runtime/segments"),
             "default segment directory \"%s\"", segments.c_str());
  // "capture-control" beside the segments: in their parent, or in the root.
  const std::string parent = segments.substr(0, segments.rfind('/'));
  FUZZ_CHECK(arguments.size() > 1 || control == parent + "/capture-control",
             "control \"%s\" for segments \"%s\"", control.c_str(), segments.c_str());
  const std::optional<int32_t> pid =
      arguments.size() > 2 ? velkin::parseParentPid(arguments[2]) : std::nullopt;
  FUZZ_CHECK(settings.parentPid == pid, "parent pid differs from its argument's reading");
  return 0;
}
