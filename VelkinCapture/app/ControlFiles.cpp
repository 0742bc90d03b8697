#include "app/ControlFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::error_code writeControlFile(std::string_view text, const std::filesystem::path& location) {
  // The temporary lies in the target's directory, so the rename cannot cross
  // file systems, and has a name nobody can predict and plant a link at.
  std::string temporary = location.string() + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return {errno, std::generic_category()};
  }
  const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && failure == 0) {
    failure = errno;
  }
  if (failure == 0 && std::rename(temporary.c_str(), location.c_str()) != 0) {
    failure = errno;
  }
  if (failure != 0) {
    (void)::unlink(temporary.c_str());
  }
  return {failure, std::generic_category()};
}

bool entryExists(const std::filesystem::path& location) {
  struct stat status {};
  return ::lstat(location.c_str(), &status) == 0;
}

}  // namespace velkin
