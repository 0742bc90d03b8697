// The control-file writer with any text, over a file that already holds
// something longer: afterwards the file holds exactly the new bytes, and no
// temporary is left beside it. The first byte picks the file: one of the four
// control files, or a name taken from the input (no separator, no NUL, so it
// stays inside the scratch directory); a name the file system cannot take
// leaves nothing at all behind.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "app/ControlFiles.hpp"

namespace {

constexpr const char* kControlFiles[] = {"capture.pid", "capture.ready", "capture.error",
                                         "capture.stop"};
// The writer's temporary is the name plus seven characters; beyond this the
// temporary's name is too long for the file system even if the name is not.
constexpr std::size_t kLongestWritableName = 255 - 7;

std::filesystem::path scratch;

// Runs at exit, on the fuzzer's one thread.
void removeScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

std::vector<std::string> entries() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // tmpfs where there is one: every write is fsynced, and a disk would make
  // that the whole cost of the run.
  const std::filesystem::path base = access("/dev/shm", W_OK) == 0
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string pattern = (base / "velkin-fuzz-control-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  scratch = pattern;
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string name;
  const std::size_t choice = data[0] % (std::size(kControlFiles) + 1);
  if (choice < std::size(kControlFiles)) {
    name = kControlFiles[choice];
  } else {
    // The name runs to the first newline; the text is what follows.
    const std::size_t newline = rest.find('\n');
    name = rest.substr(0, newline);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    for (char& c : name) {
      if (c == '/' || c == '\0') {
        c = '_';
      }
    }
  }
  const std::filesystem::path location = scratch / name;
  const std::string text(rest);

  // Longer first, so that a writer that does not replace the file whole would
  // leave the old tail behind.
  (void)velkin::writeControlFile(text + "-and-what-was-there-before", location);
  const std::error_code failed = velkin::writeControlFile(text, location);

  const bool writable =
      name != "" && name != "." && name != ".." && name.size() <= kLongestWritableName;
  const std::vector<std::string> left = entries();
  FUZZ_CHECK(!failed == writable, "\"%s\": reported %s", name.c_str(), failed.message().c_str());
  if (writable) {
    std::ifstream file(location, std::ios::binary);
    const std::string contents{std::istreambuf_iterator<char>(file), {}};
    FUZZ_CHECK(contents == text, "\"%s\" holds %zu bytes, %zu written", name.c_str(),
               contents.size(), text.size());
    FUZZ_CHECK(left.size() == 1, "%zu entries beside \"%s\", first \"%s\"", left.size() - 1,
               name.c_str(), left.front() == name ? left.back().c_str() : left.front().c_str());
  } else {
    // Written whole or not at all: here the file cannot be made, and the
    // temporary, if one was made, must be gone again.
    FUZZ_CHECK(left.empty(), "\"%s\" left \"%s\" behind", name.c_str(), left.front().c_str());
  }
  for (const std::string& entry : left) {
    std::error_code ignored;
    std::filesystem::remove(scratch / entry, ignored);
  }
  return 0;
}
