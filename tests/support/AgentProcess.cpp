#include "AgentProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

namespace velkin::testing {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (!path_.empty()) {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
}

AgentProcess::AgentProcess(const fs::path& executable, std::vector<std::string> arguments,
                           const Options& options) {
  static int serial = 0;
  const std::string stem =
      (fs::temp_directory_path() /
       ("velkin-agent-" + std::to_string(::getpid()) + "-" + std::to_string(serial++)))
          .string();
  stdoutPath_ = stem + ".out";
  stderrPath_ = stem + ".err";

  arguments.insert(arguments.begin(), executable.string());
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment = options.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view inherited(*e);
    const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
    bool replaced = false;
    for (const std::string& given : options.environment) {
      replaced = replaced || given.rfind(name, 0) == 0;
    }
    if (!replaced) {
      environment.emplace_back(inherited);
    }
  }
  std::vector<char*> envp;
  for (std::string& variable : environment) {
    envp.push_back(variable.data());
  }
  envp.push_back(nullptr);
  const std::string cwd = options.workingDirectory.string();

  const int out = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0 || err < 0) {
    ADD_FAILURE() << "cannot create " << stdoutPath_ << " and " << stderrPath_;
    ::close(out);
    ::close(err);
    return;
  }
  const pid_t self = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != self || (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ||
        ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
  }
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove(stdoutPath_, ignored);
  fs::remove(stderrPath_, ignored);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds within) {
  if (status_ || pid_ <= 0) {
    return status_;
  }
  // Woken by the process's end through a pidfd; without one, a look every
  // millisecond.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  const auto deadline = std::chrono::steady_clock::now() + stretched(within);
  while (true) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = std::chrono::steady_clock::now();
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      (void)::poll(&p, 1, int(left.count()));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (pidfd >= 0) {
    ::close(pidfd);
  }
  return status_;
}

void AgentProcess::signal(int number) const {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, number);
  }
}

bool AgentProcess::waitForLine(const std::string& line, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + stretched(within);
  while (standardOutput().find(line + "\n") == std::string::npos) {
    if (waitForExit(std::chrono::milliseconds(0))) {
      // Whatever it wrote is in the file by now.
      return standardOutput().find(line + "\n") != std::string::npos;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace velkin::testing
