#include "app/ControlFiles.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velkin {

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::error_code writeControlFile(std::string_view text, const Directory& directory,
                                 std::string_view name) {
  // The temporary lies beside the target, so the rename cannot cross file
  // systems, and has a name nobody can predict; a link planted there is not
  // followed.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) {
      return {errno, std::generic_category()};
    }
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
    temporary = std::string(name) + suffix;
    fd = directory.openFile(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST) {
      return {errno, std::generic_category()};
    }
  }
  if (fd < 0) {
    return {EEXIST, std::generic_category()};
  }
  const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && failure == 0) {
    failure = errno;
  }
  if (failure == 0) {
    failure = directory.rename(temporary, name);
  }
  if (failure != 0) {
    (void)directory.remove(temporary);
  }
  return {failure, std::generic_category()};
}

bool entryExists(const Directory& directory, std::string_view name) {
  struct stat status {};
  return directory.status(name, status) == 0;
}

}  // namespace velkin
