#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Directory.hpp"
#include "platform/Error.hpp"

namespace velkin {

// A directory that this process holds open for its whole run, and works in by
// its descriptor alone. The lock, when taken, is a flock(2) on that descriptor:
// nothing is left in the directory, and the kernel lets go of it however the
// process ends.
class HeldDirectory {
 public:
  // Creates `path` with its missing parents when needed (0700), then opens it.
  // `role` ("control", "segment") names it in the error: "The <role> directory
  // <path> is unusable: <reason>".
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

  const Directory& directory() const { return directory_; }
  const std::filesystem::path& path() const { return directory_.path(); }
  // "The <role> directory <path>", the path shown safely.
  std::string described() const;

 private:
  Directory directory_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string role_;
};

// Creates and removes a file in the segment directory, as the segment writer
// will: a read-only mount, a missing permission or a full inode table all fail
// here rather than later, after readiness was announced.
[[nodiscard]] std::optional<Error> probeWritable(const HeldDirectory& directory);

// An earlier run's "capture.stop" goes, so that this run never takes it for its
// own. Only a file or a symbolic link is removed: anything else, or one that
// cannot go, fails the start, and a directory tree is never deleted.
[[nodiscard]] std::optional<Error> removeStaleStop(const HeldDirectory& control);

// Each segment must fit under the process's file-size limit; a limit too small
// for one fails the start. Nothing when there is room.
[[nodiscard]] std::optional<Error> checkFileSizeLimit();

// A path that would break a line-based reader (a line end, any control
// character) or a UTF-8 one (bytes that are not UTF-8) fails the start: the
// error shows it with such bytes escaped as \xNN. Nothing when the path is fine.
[[nodiscard]] std::optional<Error> checkPrintable(const std::filesystem::path& path,
                                                  std::string_view role);

}  // namespace velkin
