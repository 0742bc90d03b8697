#pragma once

#include <string>
#include <string_view>

namespace velkin {

// A failure as a host service reports it. Callers read `localizedDescription()`;
// `description()` is the full rendering (domain, code and message) for the few
// lines that show an error value as a whole.
struct Error {
  std::string domain;
  long code = 0;
  std::string message;

  const std::string& localizedDescription() const { return message; }
  std::string description() const;
};

// An error from a failed system call: domain "POSIX", the errno value as code and
// strerror's text, after `context` when one is given ("open /x: No such file ...").
Error posixError(int errnum, std::string_view context = {});

}  // namespace velkin
