#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velkin::testing {

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for `done` to hold, checking every few milliseconds; false on timeout.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A started agent process, as its parent sees it: exit status, standard output
// and standard error (kept in files), and the control files. Killed by its pid
// if the test ends before it does.
class AgentProcess {
 public:
  AgentProcess(const std::filesystem::path& executable, std::vector<std::string> arguments,
               const std::filesystem::path& workingDirectory, const std::string& scenario) {
    static int serial = 0;
    const auto stem =
        std::filesystem::temp_directory_path() /
        ("velkin-agent-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    stdoutPath_ = stem.string() + ".out";
    stderrPath_ = stem.string() + ".err";

    std::vector<std::string> argv{executable.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (auto& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    std::vector<std::string> env{"VELKIN_SCENARIO=" + scenario};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).rfind("VELKIN_SCENARIO=", 0) != 0) {
        env.emplace_back(*e);
      }
    }
    std::vector<char*> envp;
    for (auto& e : env) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const std::string cwd = workingDirectory.string();
    const int out = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    started_ = std::chrono::steady_clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      if (::chdir(cwd.c_str()) != 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
          ::dup2(err, STDERR_FILENO) < 0) {
        ::_exit(127);
      }
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(out);
    ::close(err);
  }

  ~AgentProcess() {
    if (!status_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove(stdoutPath_, ignored);
    std::filesystem::remove(stderrPath_, ignored);
  }

  pid_t pid() const { return pid_; }

  // The exit status once the process has ended within `timeout`; -1 after a
  // signal; nullopt while it still runs.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    if (status_) {
      return status_;
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      (void)::poll(&p, 1, static_cast<int>(timeout.count()));
      ::close(pidfd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = std::chrono::steady_clock::now();
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
  }

  std::chrono::steady_clock::time_point endedAt() const { return ended_; }
  std::string standardOutput() const { return readFile(stdoutPath_); }
  std::string standardError() const { return readFile(stderrPath_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point ended_;
  std::string stdoutPath_;
  std::string stderrPath_;
};

}  // namespace velkin::testing
