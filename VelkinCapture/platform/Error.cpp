#include "platform/Error.hpp"

#include <cstring>

namespace velkin {

std::string Error::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + message + "\"";
}

Error posixError(int errnum, std::string_view context) {
  std::string text = std::strerror(errnum);
  if (!context.empty()) {
    text = std::string(context) + ": " + text;
  }
  return Error{"POSIX", errnum, std::move(text)};
}

}  // namespace velkin
