// The command line and the working directory, as NUL-separated strings (the
// one byte no argument or path can hold): the first is the working directory,
// made absolute and canonical as the kernel's always is; the rest, up to four,
// are the arguments. Whatever they hold, both directories come out absolute,
// without a trailing separator except for the root itself, with every other
// component as given (".." is the kernel's to resolve), and the defaults follow
// their rule.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/CommandLine.hpp"

namespace {

namespace fs = std::filesystem;

// Absolute, and "/" or without a trailing separator.
bool isCleanAbsolute(const std::string& path) {
  return path.starts_with('/') && (path == "/" || !path.ends_with('/'));
}

// A failed property: says which, then aborts, so that libFuzzer keeps the input
// as a crash artifact.
void check(bool holds, const std::string& what) {
  if (!holds) {
    std::fprintf(stderr, "check failed: %s\n", what.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> pieces(1);
  for (const char c : std::string_view(reinterpret_cast<const char*>(data), size)) {
    c == '\0' ? (void)pieces.emplace_back() : pieces.back().push_back(c);
  }
  // The working directory as the kernel reports one: absolute, in normal form.
  const fs::path cwd =
      velkin::fileLocation(fs::path(pieces.front()).lexically_normal().string(), "/");
  // One more argument than the agent reads.
  const std::vector<std::string> arguments(
      pieces.begin() + 1, pieces.begin() + std::min<std::size_t>(pieces.size(), 5));

  const velkin::Settings settings = velkin::resolveSettings(arguments, cwd);
  const std::string segments = settings.segmentDirectory.string();
  const std::string control = settings.controlDirectory.string();
  check(isCleanAbsolute(segments), "segment directory \"" + segments + "\"");
  check(isCleanAbsolute(control), "control directory \"" + control + "\"");
  check(!arguments.empty() || segments.ends_with("/runtime/segments"),
        "default segment directory \"" + segments + "\"");
  // "capture-control" beside the segments: in their parent, reached through
  // ".." after a last "." or "..", or in the root.
  const std::string last = fs::path(segments).filename().string();
  std::string parent =
      last == "." || last == ".." ? segments + "/.." : segments.substr(0, segments.rfind('/'));
  // A repeated separator before the last component names no component.
  while (parent.ends_with('/')) {
    parent.pop_back();
  }
  check(arguments.size() > 1 || control == parent + "/capture-control",
        "control \"" + control + "\" for segments \"" + segments + "\"");
  return 0;
}
