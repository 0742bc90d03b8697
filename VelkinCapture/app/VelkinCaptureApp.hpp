#pragma once

#include <asio/awaitable.hpp>
#include <string>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/Host.hpp"

namespace velkin {

// The agent's entry and its contract with the parent process: the control
// directory's files, the poll for a stop request or the parent's end, and the
// exit status.
class VelkinCaptureApp {
 public:
  // Runs on the main thread, and resumes there after every await. Returns after
  // an orderly stop; ends the process itself with status 1 on a failed start.
  static asio::awaitable<void> main(Runtime& runtime, Host& host,
                                    std::vector<std::string> arguments);

  // The process entry: runs `main` on the main thread, whose first stretch runs
  // at once, then gives the main thread to the main queue until `main` returns.
  // `argv[0]` is the program's name. Returns the exit status.
  static int run(int argc, char** argv, Host& host);
};

}  // namespace velkin
