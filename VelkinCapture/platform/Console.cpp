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

std::string escapeText(std::string_view text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // The length of the UTF-8 sequence that `byte` begins, and the range its
    // second byte must lie in (which rules out overlong forms, surrogates,
    // code points above U+10FFFF and the C1 controls U+0080 to U+009F, whose
    // U+0085 some readers take for a line end: each byte is then escaped); 0 for
    // a byte that begins none.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (byte >= 0x20 && byte < 0x7f) {
      length = 1;
    } else if (byte >= 0xc2 && byte <= 0xdf) {
      length = 2;
      low = byte == 0xc2 ? 0xa0 : 0x80;
    } else if (byte >= 0xe0 && byte <= 0xef) {
      length = 3;
      low = byte == 0xe0 ? 0xa0 : 0x80;
      high = byte == 0xed ? 0x9f : 0xbf;
    } else if (byte >= 0xf0 && byte <= 0xf4) {
      length = 4;
      low = byte == 0xf0 ? 0x90 : 0x80;
      high = byte == 0xf4 ? 0x8f : 0xbf;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xbf;
    }
    if (valid) {
      escaped.append(text.substr(i, length));
      i += length;
    } else {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      escaped += code;
      ++i;
    }
  }
  return escaped;
}

}  // namespace velkin
