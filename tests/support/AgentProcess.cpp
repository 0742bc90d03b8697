#include "AgentProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
}

// The strings as the null-terminated array that exec takes.
static std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> array;
  for (std::string& string : strings) {
    array.push_back(string.data());
  }
  array.push_back(nullptr);
  return array;
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
  std::vector<char*> argv = pointers(arguments);
  // The given variables, then every inherited one that they do not replace.
  std::vector<std::string> environment = options.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view inherited(*e);
    const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
    if (std::none_of(options.environment.begin(), options.environment.end(),
                     [&](const std::string& given) { return given.starts_with(name); })) {
      environment.emplace_back(inherited);
    }
  }
  std::vector<char*> envp = pointers(environment);
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
  kill();
  std::error_code ignored;
  fs::remove(stdoutPath_, ignored);
  fs::remove(stderrPath_, ignored);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + stretched(within);
  while (!status_ && pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = std::chrono::steady_clock::now();
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return status_;
}

void AgentProcess::kill() {
  signal(SIGKILL);
  (void)waitForExit(std::chrono::hours(1));
}

void AgentProcess::signal(int number) const {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, number);
  }
}

bool AgentProcess::waitForLine(const std::string& line, std::chrono::milliseconds within) {
  const auto written = [&] { return standardOutput().find(line + "\n") != std::string::npos; };
  // Whatever it wrote before it ended is in the file by then.
  (void)waitFor([&] { return written() || !running(); }, within);
  return written();
}

}  // namespace velkin::testing
