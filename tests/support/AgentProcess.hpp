#pragma once

// An agent binary run as a child process, seen as its parent sees it, and the
// small waits and reads that tests of such a process need.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Slowness.hpp"

namespace velkin::testing {

// How often the agent looks for a stop request and for its parent.
constexpr std::chrono::milliseconds kAgentPollInterval{500};

// The whole file, or an empty string when there is none.
std::string readFile(const std::filesystem::path& path);

// Waits for `done` to hold, checking every few milliseconds; false when it does
// not within `timeout`, stretched for a slow build.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + stretched(timeout);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A directory of its own under the temporary directory, removed with everything
// in it when this goes, even after a test took its write permission away.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix = "velkin");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A started process (an agent, or anything else a test needs running, such as
// "/bin/sleep infinity" standing in for a parent): its exit status, and its
// standard output and error (kept in files of its own). It gets SIGKILL when the test process dies,
// and is killed and reaped by its pid when this goes, if it has not exited by then.
class AgentProcess {
 public:
  struct Options {
    // "NAME=value" entries, in place of any inherited variable of that name.
    std::vector<std::string> environment;
    // Where it starts; empty for this process's working directory.
    std::filesystem::path workingDirectory;
  };

  AgentProcess(const std::filesystem::path& executable, std::vector<std::string> arguments,
               const Options& options = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The exit status once the process has exited within `within`, stretched for
  // a slow build (128 + the signal for a signal); nullopt while it still runs.
  std::optional<int> waitForExit(std::chrono::milliseconds within);
  bool running() { return !waitForExit(std::chrono::milliseconds(0)); }
  // When waitForExit() saw it end.
  std::chrono::steady_clock::time_point endedAt() const { return ended_; }
  void signal(int number) const;
  // SIGKILL, and reaped at once: a zombie would still answer kill(pid, 0).
  void kill();

  // Waits until standard output holds `line` whole; false when the process
  // ended or `within` (stretched for a slow build) passed first.
  bool waitForLine(const std::string& line, std::chrono::milliseconds within);

  std::string standardOutput() const { return readFile(stdoutPath_); }
  std::string standardError() const { return readFile(stderrPath_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::chrono::steady_clock::time_point ended_;
  std::filesystem::path stdoutPath_;
  std::filesystem::path stderrPath_;
};

}  // namespace velkin::testing
