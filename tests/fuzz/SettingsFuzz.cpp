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
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "app/CommandLine.hpp"

namespace {

constexpr std::size_t kMostArguments = 4;  // one more than the agent reads

// Absolute, "/" or "/a/b" with no empty, "." or ".." component.
bool isCleanAbsolute(const std::string& path) {
  if (path.empty() || path.front() != '/') {
    return false;
  }
  if (path == "/") {
    return true;
  }
  std::size_t begin = 1;
  while (begin <= path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string_view component(path.data() + begin, end - begin);
    if (component.empty() || component == "." || component == "..") {
      return false;
    }
    begin = end + 1;
  }
  return true;
}

// "capture-control" beside `segments`: in its parent, or in the root when
// `segments` is the root.
std::string defaultControl(const std::string& segments) {
  const std::size_t slash = segments.rfind('/');
  const std::string parent = slash == 0 ? "" : segments.substr(0, slash);
  return parent + "/capture-control";
}

// A working directory as the kernel reports one: absolute, with no empty, "."
// or ".." component.
std::string asWorkingDirectory(const std::string& text) {
  std::string cwd;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find('/', begin), text.size());
    const std::string component = text.substr(begin, end - begin);
    if (!component.empty() && component != "." && component != "..") {
      cwd += "/" + component;
    }
    begin = end + 1;
  }
  return cwd.empty() ? "/" : cwd;
}

bool endsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
  const std::filesystem::path cwd = asWorkingDirectory(pieces.front());
  std::vector<std::string> arguments(pieces.begin() + 1, pieces.end());
  if (arguments.size() > kMostArguments) {
    arguments.resize(kMostArguments);
  }

  const velkin::Settings settings = velkin::resolveSettings(arguments, cwd);
  const std::string segments = settings.segmentDirectory.string();
  const std::string control = settings.controlDirectory.string();
  FUZZ_CHECK(isCleanAbsolute(segments), "segment directory \"%s\"", segments.c_str());
  FUZZ_CHECK(isCleanAbsolute(control), "control directory \"%s\"", control.c_str());
  // A location already made is its own location, wherever it is resolved from.
  FUZZ_CHECK(velkin::fileLocation(segments, "/elsewhere") == settings.segmentDirectory,
             "\"%s\" moves when resolved again", segments.c_str());

  if (arguments.empty()) {
    FUZZ_CHECK(endsWith(segments, "/runtime/segments"), "default segment directory \"%s\"",
               segments.c_str());
  }
  if (arguments.size() < 2) {
    FUZZ_CHECK(control == defaultControl(segments), "control \"%s\" for segments \"%s\"",
               control.c_str(), segments.c_str());
  }
  const std::optional<int32_t> pid =
      arguments.size() > 2 ? velkin::parseParentPid(arguments[2]) : std::nullopt;
  FUZZ_CHECK(settings.parentPid == pid, "parent pid differs from its argument's reading");
  return 0;
}
