#include "FaultSupport.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#ifndef VELKIN_AGENT_BINARY
#error "VELKIN_AGENT_BINARY must name the agent"
#endif

namespace velkin::faults {

namespace {

using namespace std::chrono_literals;

std::string mountFailure_;

std::string errorText(int error) {
  return std::strerror(error);
}

bool writeText(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  ::close(fd);
  return written;
}

// Mounts made from here on stay in this process and its children.
bool keepMountsPrivate() {
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// The whole test binary again, as root of a new user namespace with a mount
// namespace of its own. Returns only when that cannot be done.
void runAgainInUserNamespace(int argc, char** argv) {
  if (::getenv("VELKIN_FAULTS_IN_NAMESPACE") != nullptr ||
      std::system("unshare --user --map-root-user --mount true >/dev/null 2>&1") != 0) {
    return;
  }
  std::array<char, 4096> self{};
  const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    return;
  }
  ::setenv("VELKIN_FAULTS_IN_NAMESPACE", "1", 1);
  std::vector<std::string> words{"unshare",
                                 "--user",
                                 "--map-root-user",
                                 "--mount",
                                 "--propagation",
                                 "private",
                                 std::string(self.data(), size_t(length))};
  for (int i = 1; i < argc; ++i) {
    words.emplace_back(argv[i]);
  }
  std::vector<char*> arguments;
  for (std::string& word : words) {
    arguments.push_back(word.data());
  }
  arguments.push_back(nullptr);
  ::execvp("unshare", arguments.data());
}

uint32_t bigEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value = (value << 8) | uint8_t(bytes[at + i]);
  }
  return value;
}

uint64_t bigEndian64(const std::string& bytes, size_t at) {
  return (uint64_t(bigEndian32(bytes, at)) << 32) | bigEndian32(bytes, at + 4);
}

// The chunks of a CAF file: the description and where the audio lies.
void parseChunks(const std::string& bytes, SegmentFile& segment) {
  if (bytes.size() < 8 || bytes.compare(0, 4, "caff") != 0) {
    segment.problem = "no CAF file header";
    return;
  }
  if (bigEndian32(bytes, 4) != 0x00010000) {
    segment.problem = "CAF version or flags are not 1 and 0";
    return;
  }
  bool description = false;
  size_t at = 8;
  while (at < bytes.size()) {
    if (at + 12 > bytes.size()) {
      segment.problem = "a chunk header is cut off at byte " + std::to_string(at);
      return;
    }
    const std::string type = bytes.substr(at, 4);
    const int64_t size = int64_t(bigEndian64(bytes, at + 4));
    const size_t body = at + 12;
    if (type == "desc") {
      if (size < 32 || body + 32 > bytes.size()) {
        segment.problem = "the desc chunk is cut off";
        return;
      }
      const uint64_t rate = bigEndian64(bytes, body);
      std::memcpy(&segment.sampleRate, &rate, sizeof rate);
      if (bytes.compare(body + 8, 4, "lpcm") != 0) {
        segment.problem = "the audio is not linear PCM";
        return;
      }
      segment.formatFlags = bigEndian32(bytes, body + 12);
      segment.channels = bigEndian32(bytes, body + 24);
      segment.bitsPerChannel = bigEndian32(bytes, body + 28);
      description = true;
    } else if (type == "data") {
      if (!description) {
        segment.problem = "the data chunk comes before the desc chunk";
        return;
      }
      segment.audioOffset = int64_t(body) + 4;  // after the edit count
      if (size == -1) {
        segment.declaredAudioBytes = -1;  // the audio runs to the end of the file
        return;
      }
      if (size < 4 || uint64_t(size) > bytes.size() - body) {
        segment.problem = "the data chunk claims " + std::to_string(size) + " bytes, " +
                          std::to_string(bytes.size() - body) + " follow";
        return;
      }
      // The writer keeps the audio last. What follows the claimed audio is
      // audio written since the last header update, or junk: isComplete() tells.
      segment.declaredAudioBytes = size - 4;
      return;
    }
    if (size < 0 || uint64_t(size) > bytes.size() - body) {
      segment.problem = "the " + type + " chunk claims " + std::to_string(size) +
                        " bytes, more than the file holds";
      return;
    }
    at = body + size_t(size);
  }
  if (segment.audioOffset == 0) {
    segment.problem = "no data chunk";
  }
}

}  // namespace

void prepareMountNamespace(int argc, char** argv) {
  if (::geteuid() == 0) {
    // Root already: a namespace of our own only keeps the mounts out of sight.
    // Without one the mounts are made where we are and removed by each test.
    if (::unshare(CLONE_NEWNS) == 0) {
      (void)keepMountsPrivate();
    }
    return;
  }
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
    if (writeText("/proc/self/setgroups", "deny") &&
        writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
        writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") && keepMountsPrivate()) {
      return;
    }
    mountFailure_ = "could not become root of a new user namespace";
    return;
  }
  const int error = errno;
  runAgainInUserNamespace(argc, argv);
  mountFailure_ =
      "mounting a tmpfs needs root or a user namespace, and unshare(CLONE_NEWUSER) "
      "failed: " +
      errorText(error);
}

const std::string& mountFailure() {
  return mountFailure_;
}

Tmpfs::Tmpfs(const fs::path& mountPoint, int64_t bytes) : mountPoint_(mountPoint) {
  std::error_code error;
  fs::create_directories(mountPoint_, error);
  if (error) {
    failure_ = "cannot create " + mountPoint_.string() + ": " + error.message();
    return;
  }
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    failure_ =
        "mount -t tmpfs -o " + options + " " + mountPoint_.string() + ": " + errorText(errno);
    return;
  }
  mounted_ = true;
}

Tmpfs::~Tmpfs() {
  if (!mounted_) {
    return;
  }
  // Busy only if something still holds a file there; it goes once that ends.
  if (::umount2(mountPoint_.c_str(), 0) != 0) {
    (void)::umount2(mountPoint_.c_str(), MNT_DETACH);
  }
}

std::string Tmpfs::makeReadOnly() {
  if (::mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
              nullptr) != 0) {
    return "mount -o remount,ro " + mountPoint_.string() + ": " + errorText(errno);
  }
  return {};
}

int64_t Tmpfs::freeBytes() const {
  struct statvfs info {};
  if (::statvfs(mountPoint_.c_str(), &info) != 0) {
    return -1;
  }
  return int64_t(info.f_bavail) * int64_t(info.f_frsize);
}

int64_t fillFileSystem(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    return -1;
  }
  int64_t taken = 0;
  for (const int64_t step : {int64_t(1) << 20, int64_t(64) << 10, int64_t(4) << 10}) {
    while (true) {
      const int result = ::fallocate(fd, 0, taken, step);
      if (result == 0) {
        taken += step;
      } else if (errno != EINTR) {
        break;
      }
    }
  }
  ::close(fd);
  return taken;
}

namespace {

std::vector<std::string> agentArguments(const fs::path& segments, const fs::path& control,
                                        std::optional<pid_t> parent) {
  std::vector<std::string> words{segments.string(), control.string()};
  if (parent) {
    words.push_back(std::to_string(*parent));
  }
  return words;
}

}  // namespace

Agent::Agent(const fs::path& segments, const fs::path& control, std::optional<pid_t> parent)
    : AgentProcess(VELKIN_AGENT_BINARY, agentArguments(segments, control, parent)),
      segments_(segments),
      control_(control) {}

::testing::AssertionResult Agent::becomesReady(std::chrono::milliseconds within) {
  const std::string line = "VELKIN_CAPTURE_READY " + segments_.string() + "\n";
  within = testing::stretched(within);
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (standardOutput().find(line) != std::string::npos &&
        testing::readFile(control_ / "capture.ready") == "ready") {
      return ::testing::AssertionSuccess();
    }
    if (const std::optional<int> status = waitForExit(0ms)) {
      return ::testing::AssertionFailure()
             << "the agent exited with status " << *status << " before it was ready; stderr:\n"
             << standardError();
    }
    std::this_thread::sleep_for(5ms);
  }
  return ::testing::AssertionFailure() << "the agent was not ready within " << within.count()
                                       << " ms; stdout: " << standardOutput() << "\nstderr:\n"
                                       << standardError();
}

void Agent::requestStop() const {
  std::ofstream(control_ / "capture.stop").close();
}

void Agent::stopInOrder() {
  requestStop();
  const auto requestedAt = Clock::now();
  const std::optional<int> status = waitForExit(3s);
  ASSERT_TRUE(status) << "still running " << secondsSince(requestedAt) << " s after the stop file";
  EXPECT_EQ(*status, 0) << standardError();
  EXPECT_TRUE(noSanitizerReport(standardError()));
}

double secondsSince(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) {
      lines.push_back(line);
    }
  }
  return lines;
}

::testing::AssertionResult noSanitizerReport(const std::string& standardError) {
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
    if (standardError.find(report) != std::string::npos) {
      return ::testing::AssertionFailure() << "the agent's stderr holds a sanitizer report:\n"
                                           << standardError;
    }
  }
  return ::testing::AssertionSuccess();
}

DirectoryEvents::DirectoryEvents(const std::vector<fs::path>& directories) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    failure_ = "inotify_init1: " + errorText(errno);
    return;
  }
  for (const fs::path& directory : directories) {
    const int watch =
        ::inotify_add_watch(fd_, directory.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE);
    if (watch < 0) {
      failure_ = "inotify_add_watch " + directory.string() + ": " + errorText(errno);
      return;
    }
    watches_.emplace_back(watch, directory);
  }
}

DirectoryEvents::~DirectoryEvents() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

const std::vector<DirectoryEvents::Event>& DirectoryEvents::events() {
  alignas(inotify_event) char buffer[64 * 1024];
  while (fd_ >= 0) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += ssize_t(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        failure_ = "inotify's queue overflowed";
        continue;
      }
      const auto watch = std::find_if(watches_.begin(), watches_.end(),
                                      [&](const auto& w) { return w.first == event->wd; });
      if (watch == watches_.end() || event->len == 0) {
        continue;
      }
      const fs::path path = watch->second / event->name;
      const uint32_t mask = event->mask;
      const char* what = (mask & IN_CREATE)        ? "create"
                         : (mask & IN_DELETE)      ? "delete"
                         : (mask & IN_MOVED_TO)    ? "moved-to"
                         : (mask & IN_MOVED_FROM)  ? "moved-from"
                         : (mask & IN_CLOSE_WRITE) ? "closed"
                                                   : "other";
      events_.push_back({what, path});
    }
  }
  return events_;
}

std::optional<size_t> DirectoryEvents::first(const std::string& what, const fs::path& path) {
  const std::vector<Event>& all = events();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].what == what && all[i].path == path) {
      return i;
    }
  }
  return std::nullopt;
}

std::string DirectoryEvents::describe() {
  std::string text;
  const std::vector<Event>& all = events();
  for (size_t i = 0; i < all.size(); ++i) {
    text += std::to_string(i) + " " + all[i].what + " " + all[i].path.string() + "\n";
  }
  return text;
}

SegmentFile readSegmentFile(const fs::path& path) {
  SegmentFile segment;
  static_cast<testing::Segment&>(segment) = testing::readSegment(path);
  const std::string bytes = testing::readFile(path);
  segment.fileBytes = int64_t(bytes.size());
  parseChunks(bytes, segment);
  return segment;
}

std::vector<SegmentFile> readSegments(const fs::path& directory, const std::string& label) {
  std::vector<SegmentFile> segments;
  for (const fs::path& path : testing::segmentPaths(directory, label)) {
    segments.push_back(readSegmentFile(path));
  }
  return segments;
}

::testing::AssertionResult isComplete(const SegmentFile& s) {
  auto failure = [&s]() {
    return ::testing::AssertionFailure()
           << s.path.filename().string() << " (" << s.fileBytes << " bytes): ";
  };
  if (!s.problem.empty()) {
    return failure() << s.problem;
  }
  if (s.sampleRate != kRate || s.channels != kChannels || s.bitsPerChannel != 16 ||
      s.formatFlags != 2 /* little-endian integers */) {
    return failure() << "described as " << s.sampleRate << " Hz, " << s.channels << " channels, "
                     << s.bitsPerChannel << " bits, flags " << s.formatFlags;
  }
  if (s.declaredAudioBytes < 0) {
    return failure() << "its data chunk was never given a size";
  }
  if (s.audioOffset + s.declaredAudioBytes != s.fileBytes) {
    return failure() << "its data chunk claims " << s.declaredAudioBytes << " bytes, "
                     << s.audioBytesOnDisk() << " follow its start";
  }
  if (s.declaredAudioBytes % kBytesPerFrame != 0) {
    return failure() << "its data chunk holds a partial frame";
  }
  if (!s.valid) {
    return failure() << "libsndfile does not read it as 48 kHz stereo 16-bit CAF";
  }
  const int64_t frames = s.declaredAudioBytes / kBytesPerFrame;
  if (s.frames != frames || s.framesRead() != frames) {
    return failure() << "holds " << frames << " frames, libsndfile counts " << s.frames
                     << " and reads " << s.framesRead();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult holdsPlayedNoise(const SegmentFile& s) {
  if (s.left.empty()) {
    return ::testing::AssertionFailure() << s.path.filename().string() << " has no frames";
  }
  // Played at most 0.5; two conversions to 16 bits on the way.
  constexpr float limit = 0.5f + 1e-4f;
  int64_t apart = 0;
  int64_t beyond = 0;
  float peak = 0;
  for (size_t i = 0; i < s.left.size(); ++i) {
    apart += s.left[i] != s.right[i];
    beyond += std::fabs(s.left[i]) > limit || std::fabs(s.right[i]) > limit;
    peak = std::max(peak, std::fabs(s.left[i]));
  }
  if (apart != 0 || beyond != 0 || peak < 0.25f) {
    return ::testing::AssertionFailure() << s.path.filename().string() << ": of " << s.left.size()
                                         << " frames " << apart << " differ between channels and "
                                         << beyond << " exceed the played level; peak " << peak;
  }
  return ::testing::AssertionSuccess();
}

Call playCall(const testing::PulseDaemon& daemon) {
  Call call;
  call.quiet = testing::settleSinks(daemon, {"call", "mic_in"});
  if (!call.quiet) {
    return call;
  }
  // A deep buffer, so that the player never runs dry on a busy machine.
  call.player = std::make_unique<testing::Player>(
      std::vector<testing::Player::Feed>{
          {"call", [](int64_t n) { return testing::noise(1, n); }},
          {"mic_in", [](int64_t n) { return testing::noise(2, n); }}},
      250ms);
  std::this_thread::sleep_for(100ms);
  return call;
}

void FaultTest::SetUp() {
  ASSERT_FALSE(scratch_.path().empty());
  ASSERT_EQ(daemon_->failure(), "");
}

}  // namespace velkin::faults
