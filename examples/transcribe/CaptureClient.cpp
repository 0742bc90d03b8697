#include "CaptureClient.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

extern char** environ;

namespace velkin::client {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kExitPollInterval{20};
constexpr std::chrono::seconds kDestructorGrace{2};

std::optional<std::string> readWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// "<track>-<number>.caf.ready", the number at least six digits.
std::optional<std::pair<int64_t, Track>> parseMarkerName(std::string_view name) {
  constexpr std::string_view suffix = ".caf.ready";
  for (const Track track : {Track::interviewer, Track::candidate}) {
    const std::string_view label = trackName(track);
    if (name.size() < label.size() + 1 + 6 + suffix.size() || !name.starts_with(label) ||
        name[label.size()] != '-' || !name.ends_with(suffix)) {
      continue;
    }
    const std::string_view digits =
        name.substr(label.size() + 1, name.size() - label.size() - 1 - suffix.size());
    int64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || number < 1 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    return std::pair{number, track};
  }
  return std::nullopt;
}

// "<track>-<number>.caf", the number zero-padded to six digits.
std::string segmentFileName(Track track, int64_t number) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%06" PRId64, number);
  return std::string(trackName(track)) + "-" + digits + ".caf";
}

Track otherTrack(Track track) {
  return track == Track::interviewer ? Track::candidate : Track::interviewer;
}

}  // namespace

std::string_view trackName(Track track) {
  return track == Track::interviewer ? "interviewer" : "candidate";
}

CaptureClient::CaptureClient(Options options) : options_(std::move(options)) {}

CaptureClient::~CaptureClient() {
  if (pid_ > 0 && !exited_ && !stop(std::chrono::steady_clock::now() + kDestructorGrace)) {
    kill();
  }
}

std::optional<std::string> CaptureClient::launch() {
  if (phase_ != Phase::notLaunched) {
    return "already launched";
  }
  const std::string agent = options_.agent.string();
  const std::string segments = options_.segmentDirectory.string();
  const std::string control = options_.controlDirectory.string();
  const std::string parent = std::to_string(::getpid());
  std::vector<char*> argv{const_cast<char*>(agent.c_str()), const_cast<char*>(segments.c_str()),
                          const_cast<char*>(control.c_str()), const_cast<char*>(parent.c_str()),
                          nullptr};

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_init(&actions);
  // The agent starts with default signal handling and nothing blocked, whatever
  // this process set up for itself.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (options_.standardOutput >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options_.standardOutput, STDOUT_FILENO);
  }
  const bool searchPath = agent.find('/') == std::string::npos;
  const int error =
      searchPath ? ::posix_spawnp(&pid_, agent.c_str(), &actions, &attributes, argv.data(), environ)
                 : ::posix_spawn(&pid_, agent.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    pid_ = -1;
    return "cannot start " + agent + ": " + std::strerror(error);
  }
  phase_ = Phase::starting;
  return std::nullopt;
}

void CaptureClient::reap(bool block) {
  if (pid_ <= 0 || exited_) {
    return;
  }
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == pid_) {
    exited_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}

void CaptureClient::readControlFiles() {
  const fs::path& control = options_.controlDirectory;
  if (!runStarted_) {
    // The agent clears an earlier run's "capture.ready" and "capture.error"
    // before it writes its pid, so once the pid is this child's, what follows
    // is this run's.
    const fs::path pidFile = control / "capture.pid";
    std::error_code error;
    const auto written = fs::last_write_time(pidFile, error);
    const auto text = readWholeFile(pidFile);
    if (error || !text || trimmed(*text) != std::to_string(pid_)) {
      return;
    }
    runStarted_ = written;
  }
  std::error_code error;
  if (phase_ == Phase::starting && fs::exists(control / "capture.ready", error)) {
    phase_ = Phase::capturing;
  }
}

CaptureClient::Phase CaptureClient::update() {
  if (phase_ == Phase::notLaunched || phase_ == Phase::failed || phase_ == Phase::ended) {
    return phase_;
  }
  // Reaped first, looked at after: whatever the agent wrote before it exited is
  // seen in this same update.
  reap(false);
  readControlFiles();
  if (runStarted_) {
    scanSegments();
  }
  if (exited_) {
    if (phase_ == Phase::starting) {
      phase_ = Phase::failed;
      const auto error =
          runStarted_ ? readWholeFile(options_.controlDirectory / "capture.error") : std::nullopt;
      failure_ = error ? trimmed(*error)
                       : "the agent exited with status " + std::to_string(*exitStatus_) +
                             " before it was ready";
    } else {
      phase_ = Phase::ended;
    }
  }
  return phase_;
}

void CaptureClient::scanSegments() {
  std::error_code error;
  for (fs::directory_iterator it(options_.segmentDirectory, error), end; !error && it != end;
       it.increment(error)) {
    const auto key = parseMarkerName(it->path().filename().native());
    if (!key || pending_.contains(*key) || handedOut_.contains(*key)) {
      continue;
    }
    std::error_code timeError;
    const auto written = fs::last_write_time(it->path(), timeError);
    if (timeError || written < *runStarted_) {
      continue;  // an earlier run's, not yet replaced by this one
    }
    pending_.insert(*key);
    int64_t& highest = highest_[key->second];
    highest = std::max(highest, key->first);
  }
}

std::vector<ReadySegment> CaptureClient::takeReadySegments() {
  std::vector<ReadySegment> ready;
  const bool ended = phase_ == Phase::ended || phase_ == Phase::failed;
  while (!pending_.empty()) {
    const auto [number, track] = *pending_.begin();
    const Track other = otherTrack(track);
    const bool otherHasIt = pending_.contains({number, other}) ||
                            handedOut_.contains({number, other}) || highest_[other] > number;
    const bool otherStalled = highest_[track] >= number + 2;
    if (!ended && !otherHasIt && !otherStalled) {
      break;
    }
    ready.push_back({track, number, options_.segmentDirectory / segmentFileName(track, number)});
    handedOut_.insert({number, track});
    pending_.erase(pending_.begin());
  }
  return ready;
}

std::optional<int> CaptureClient::stop(std::chrono::steady_clock::time_point deadline) {
  if (pid_ <= 0) {
    return std::nullopt;
  }
  // The agent clears a stop request left from an earlier run before it writes
  // its pid: one made before that would be lost.
  while (!exited_ && !runStarted_ && std::chrono::steady_clock::now() < deadline) {
    update();
    std::this_thread::sleep_for(kExitPollInterval);
  }
  if (!exited_) {
    std::error_code ignored;
    fs::create_directories(options_.controlDirectory, ignored);
    const fs::path stopFile = options_.controlDirectory / "capture.stop";
    const int fd = ::open(stopFile.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
    }
  }
  while (true) {
    reap(false);
    if (exited_ || std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(kExitPollInterval);
  }
  if (!exited_) {
    return std::nullopt;
  }
  update();
  return exitStatus_;
}

void CaptureClient::kill() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    reap(true);
    update();
  }
}

}  // namespace velkin::client
