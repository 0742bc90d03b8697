#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.hpp"

namespace velkin {

// An open directory that this process holds for its whole run. The lock, when
// taken, is a flock(2) on the directory's own descriptor: nothing is left in
// the directory, and the kernel lets go of it however the process ends.
class HeldDirectory {
 public:
  HeldDirectory() = default;
  ~HeldDirectory();
  HeldDirectory(HeldDirectory&& other) noexcept;
  HeldDirectory& operator=(HeldDirectory&& other) noexcept;

  // Creates `path` with its missing parents when needed, then opens it. `role`
  // ("control", "segment") names it in the error: "The <role> directory <path>
  // is unusable: <reason>".
  static std::optional<Error> open(const std::filesystem::path& path, std::string_view role,
                                   HeldDirectory& opened);

  // Takes the exclusive lock without waiting. When another process holds it,
  // the error names that process: "The <role> directory <path> is in use by the
  // agent with pid <pid>". A file system without locks is no reason to refuse
  // a recording: that failure is not reported.
  [[nodiscard]] std::optional<Error> lock();

  // True when both name the same directory (a lock on one would then conflict
  // with the lock on the other).
  bool sameAs(const HeldDirectory& other) const;

  const std::filesystem::path& path() const { return path_; }

 private:
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::filesystem::path path_;
  std::string role_;
};

// Creates and removes a file in `directory` by its full path, as the segment
// writer will: a read-only mount, a missing permission or a path too long for
// the system all fail here rather than later, after readiness was announced.
[[nodiscard]] std::optional<Error> probeWritable(const HeldDirectory& directory);

// A path that would break a line-based reader (a line end, any control
// character) fails the start: the error shows it with such characters escaped
// as \xNN. Nothing when the path is fine.
[[nodiscard]] std::optional<Error> checkPrintable(const std::filesystem::path& path,
                                                  std::string_view role);

// `text` with every control character written as \xNN.
std::string escapeControlCharacters(std::string_view text);

}  // namespace velkin
