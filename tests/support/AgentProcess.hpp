#pragma once

// An agent binary run as a child process, seen as its parent sees it, and the
// scratch directories, mounts and waits that tests of such a process need.

#include <sys/mman.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Slowness.hpp"

namespace velkin::testing {

using namespace std::chrono_literals;

// How often the agent looks for a stop request and for its parent.
constexpr std::chrono::milliseconds kAgentPollInterval{500};

// The whole file, or an empty string when there is none.
std::string readFile(const std::filesystem::path& path);

// Waits for `done` to hold, checking every few milliseconds; false when it does
// not within `timeout`, stretched for a slow build.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + stretched(timeout);
  for (; !done(); std::this_thread::sleep_for(2ms)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
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

// Gives this process mounts of its own, so that a test's mounts go with it
// however it ends. Call while the process has one thread; false without root.
bool privateMounts();

// A tmpfs mounted at `path` (made if missing) with mount(2)'s `flags` and
// `options`, such as MS_RDONLY or "size=N"; unmounted when this goes.
struct Tmpfs {
  Tmpfs(const std::filesystem::path& at, unsigned long flags, const std::string& options = "");
  ~Tmpfs();
  std::filesystem::path path;
  bool mounted = false;
};

// A started process (an agent, or whatever a command line names first), with
// VELKIN_SCENARIO set to `scenario`, in `cwd` (this process's when empty): its
// exit status, and its standard output and error (in memory files of its own).
// It gets SIGKILL when the test process dies, and is killed and reaped by its
// pid when this goes, if it has not exited by then.
class AgentProcess {
 public:
  explicit AgentProcess(std::vector<std::string> command, const std::string& scenario = "",
                        const std::filesystem::path& cwd = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The exit status once the process has exited within `within`, stretched for
  // a slow build (128 + the signal for a signal); nullopt while it still runs.
  std::optional<int> waitForExit(std::chrono::milliseconds within);
  bool running() { return !waitForExit(0ms); }
  // When waitForExit() saw it end.
  std::chrono::steady_clock::time_point endedAt() const { return ended_; }
  void signal(int number) const;

  // Waits up to 5 s (stretched) for the readiness line that names `segments`;
  // false when the process ended or the time passed first.
  bool waitForReadiness(const std::filesystem::path& segments);
  // Creates "capture.stop" in `control` and waits up to 3 s for the exit.
  std::optional<int> stop(const std::filesystem::path& control);
  // How many lines of standard error begin with `prefix`.
  std::size_t errorLines(const std::string& prefix) const;

  std::string standardOutput() const { return readFile("/proc/self/fd/" + std::to_string(out_)); }
  std::string standardError() const { return readFile("/proc/self/fd/" + std::to_string(err_)); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::chrono::steady_clock::time_point ended_;
  int out_ = ::memfd_create("stdout", MFD_CLOEXEC);
  int err_ = ::memfd_create("stderr", MFD_CLOEXEC);
};

}  // namespace velkin::testing
