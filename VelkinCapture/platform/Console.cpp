#include "platform/Console.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace velkin {

void writeStandardError(std::string_view line) {
  // One write(2) of the whole line; a short write (a full pipe interrupted by a
  // signal) is finished with the rest rather than dropped.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void writeStandardOutput(std::string_view line) {
  (void)std::fwrite(line.data(), 1, line.size(), stdout);
  (void)std::fflush(stdout);
}

}  // namespace velkin
