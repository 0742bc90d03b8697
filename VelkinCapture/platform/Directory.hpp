#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Result.hpp"

namespace velkin {

// A directory held open by its descriptor for a whole run. Every name in it is
// resolved from that descriptor, never from the path again: a directory that is
// renamed, removed or replaced by a link later is not followed, and files go on
// landing in, or failing in, the very directory that was opened. Copies share
// the descriptor, which closes with the last of them. Safe from any thread.
class Directory {
 public:
  Directory() = default;

  // Opens `path`, first creating it and its missing parents, each 0700 whatever
  // the umask. The error's errno is the open's (or the creation's) failure.
  static Result<Directory> open(const std::filesystem::path& path);

  bool isOpen() const { return fd_ != nullptr; }
  int descriptor() const;
  // The path it was opened by, as lines and errors show it.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path pathOf(std::string_view name) const { return path_ / name; }

  // openat(2) of `name`, close-on-exec, retried on EINTR: a descriptor, or -1
  // with errno set.
  int openFile(std::string_view name, int flags, mode_t mode = 0) const;
  // 0, or the errno value of the failed call.
  int remove(std::string_view name) const;
  int rename(std::string_view from, std::string_view to) const;
  // lstat of `name`: a link is not followed.
  int status(std::string_view name, struct stat& result) const;
  // Makes the directory's entries durable; best effort.
  void sync() const;

 private:
  std::shared_ptr<const int> fd_;
  std::filesystem::path path_;
};

}  // namespace velkin
