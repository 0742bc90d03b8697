#include "AgentProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velkin::testing {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  // Empty for a directory too, such as a stop request made as one.
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
  EXPECT_NE(::mkdtemp(pattern.data()), nullptr) << pattern << ": " << std::strerror(errno);
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

bool privateMounts() {
  return ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

Tmpfs::Tmpfs(const fs::path& at, unsigned long flags, const std::string& options) : path(at) {
  fs::create_directories(path);
  mounted = ::mount("velkin-test", path.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

Tmpfs::~Tmpfs() {
  (void)(mounted && ::umount2(path.c_str(), MNT_DETACH) == 0);
}

AgentProcess::AgentProcess(std::vector<std::string> command, const std::string& scenario,
                           const fs::path& cwd) {
  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls until exec.
  std::vector<std::string> environment{"VELKIN_SCENARIO=" + scenario};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("VELKIN_SCENARIO=")) {
      environment.emplace_back(*e);
    }
  }
  std::vector<char*> argv, envp;
  for (auto [strings, array] : {std::pair{&command, &argv}, std::pair{&environment, &envp}}) {
    for (std::string& string : *strings) {
      array->push_back(string.data());
    }
    array->push_back(nullptr);
  }
  // The child writes through descriptors of its own that append: a memfd's
  // shared file position is not updated atomically, so two threads writing a
  // line each at the same moment could overwrite one another.
  const auto appending = [](int fd) {  // none for -1: there is no such descriptor
    return ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  };
  const int out = appending(out_), err = appending(err_);
  const pid_t self = ::getpid();
  pid_ = out < 0 || err < 0 ? -1 : ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == self && (cwd.empty() || ::chdir(cwd.c_str()) == 0) &&
        ::dup2(out, STDOUT_FILENO) >= 0 && ::dup2(err, STDERR_FILENO) >= 0) {
      ::execve(argv[0], argv.data(), envp.data());
    }
    ::_exit(127);
  }
  ::close(out);  // -1, when it could not be opened, does no harm
  ::close(err);
  EXPECT_GT(pid_, 0) << "cannot start " << command[0] << ": " << std::strerror(errno);
}

AgentProcess::~AgentProcess() {
  signal(SIGKILL);
  (void)waitForExit(std::chrono::hours(1));
  ::close(out_);
  ::close(err_);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds within) {
  int status = 0;
  if (!status_ && pid_ > 0 &&
      waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, within)) {
    ended_ = std::chrono::steady_clock::now();
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

void AgentProcess::signal(int number) const {
  (void)(pid_ > 0 && !status_ && ::kill(pid_, number) == 0);
}

bool AgentProcess::waitForReadiness(const fs::path& segments) {
  const std::string line = "VELKIN_CAPTURE_READY " + segments.string() + "\n";
  const auto written = [&] { return standardOutput().find(line) != std::string::npos; };
  // Whatever it wrote before it ended is in the file by then.
  (void)waitFor([&] { return written() || !running(); }, 5s);
  return written();
}

std::optional<int> AgentProcess::stop(const fs::path& control) {
  std::ofstream(control / "capture.stop").close();
  return waitForExit(3s);
}

std::size_t AgentProcess::errorLines(const std::string& prefix) const {
  const std::string text = "\n" + standardError();
  std::size_t count = 0;
  for (auto at = text.find("\n" + prefix); at != std::string::npos;
       at = text.find("\n" + prefix, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace velkin::testing
