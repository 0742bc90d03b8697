#include "PulseTestSupport.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pulse/simple.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string_view>

#include "Slowness.hpp"

#ifndef VELKIN_SOURCE_DIR
#error "VELKIN_SOURCE_DIR must name the source tree"
#endif

namespace velkin::testing {

namespace {

constexpr int rate = 48000;
constexpr int64_t blockFrames = 240;  // 5 ms

// Whether `pid` has ended and been reaped (or is no child of ours) within `within`.
bool reaped(pid_t pid, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int64_t monotonicNanoseconds() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

PulseDaemon::PulseDaemon() {
  char pattern[] = "/tmp/velkin-pulse.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    failure_ = "cannot make a runtime directory";
    return;
  }
  directory_ = pattern;
  // Clients must never spawn a server of their own when ours is gone.
  std::ofstream(directory_ + "/client.conf") << "autospawn = no\n";
  ::setenv("PULSE_SERVER", ("unix:" + directory_ + "/native").c_str(), 1);
  ::setenv("PULSE_CLIENTCONFIG", (directory_ + "/client.conf").c_str(), 1);

  const std::string script = std::string(VELKIN_SOURCE_DIR) + "/scripts/pulse-daemon";
  const char* kind = std::getenv("VELKIN_AUDIO_SERVER");
  pipeWire_ = kind != nullptr && std::string_view(kind) == "pipewire";
  const std::string log = directory_ + "/daemon.log";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execl("/bin/bash", "bash", script.c_str(), "run", directory_.c_str(),
            kind != nullptr ? kind : "pulseaudio", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Up once it answers with both default devices: a PipeWire session makes them
  // only after its socket answers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> info = pactl("info");
    if (info && info->find("Default Sink: call\n") != std::string::npos &&
        info->find("Default Source: mic\n") != std::string::npos) {
      return;
    }
    if (reaped(pid_, std::chrono::milliseconds(20))) {
      pid_ = -1;
    }
  }
  std::ifstream in(log);
  failure_ = "the server did not come up: " + std::string(std::istreambuf_iterator<char>(in), {});
}

PulseDaemon::~PulseDaemon() {
  stop(true);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void PulseDaemon::stop(bool politely) {
  // A polite stop first; the server takes up to two seconds to exit on its own,
  // and nothing it holds is worth the wait.
  if (pid_ > 0 &&
      !(politely && ::kill(pid_, SIGTERM) == 0 && reaped(pid_, std::chrono::milliseconds(100)))) {
    ::kill(pid_, SIGKILL);
    reaped(pid_, std::chrono::seconds(5));
  }
  pid_ = -1;
}

std::optional<std::string> PulseDaemon::pactl(const std::string& arguments) const {
  const std::string command = "pactl " + arguments + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return std::nullopt;
  }
  std::string out;
  for (int c = 0; (c = std::fgetc(pipe)) != EOF;) {
    out.push_back(char(c));
  }
  return ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

std::optional<std::string> PulseDaemon::moduleOf(const std::string& argument) const {
  const std::string modules = pactl("list short modules").value_or("");
  const size_t at = modules.find(argument);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  const size_t line = modules.rfind('\n', at) + 1;  // 0 on the first line
  return modules.substr(line, modules.find('\t', line) - line);
}

bool PulseDaemon::setDefault(const std::string& kind, const std::string& device) const {
  const std::string said =
      std::string(kind == "sink" ? "Default Sink: " : "Default Source: ") + device + "\n";
  const auto holds = [&] { return pactl("info").value_or("").find(said) != std::string::npos; };
  // Asked again until it holds for a while: a device just made may not be known
  // yet, and a session manager that is still settling may put back its own choice.
  for (const auto deadline = std::chrono::steady_clock::now() + stretched(std::chrono::seconds(3));
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    int held = 0;
    for (bool asked = bool(pactl("set-default-" + kind + " " + device));
         asked && held < 6 && holds(); ++held) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (held == 6) {
      return true;
    }
  }
  return false;
}

float tone(int64_t frame, double hertz, float amplitude) {
  return amplitude * float(std::sin(2 * std::numbers::pi * hertz * double(frame) / rate));
}

Player::Player(std::vector<Feed> feeds, std::chrono::milliseconds buffer)
    : feeds_(std::move(feeds)), buffer_(buffer) {
  std::promise<void> playing;
  std::future<void> played = playing.get_future();
  thread_ = std::thread([this, playing = std::move(playing)]() mutable { run(playing); });
  // A server that never answers leaves the test to fail on what did not play.
  (void)played.wait_for(stretched(std::chrono::seconds(10)));
}

Player::~Player() {
  stop_.store(true);
  thread_.join();
}

void Player::click() {
  clickFrame_.store(frames_.load() + 4 * blockFrames);
}

void Player::run(std::promise<void>& playing) {
  // A call app plays from a real-time thread, as its audio server runs: so that
  // a busy machine slows the agent, never the call it records. Where that is not
  // allowed the player runs as any thread. Its stream threads inherit it.
  const sched_param realtime{.sched_priority = 10};
  (void)pthread_setschedparam(pthread_self(), SCHED_RR, &realtime);
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate, 2};
  const uint32_t any = uint32_t(-1);
  const pa_buffer_attr attributes{
      any, uint32_t(pa_usec_to_bytes(pa_usec_t(buffer_.count()) * 1000, &sampleSpec)), any, any,
      any};
  std::vector<pa_simple*> streams;
  for (const Feed& feed : feeds_) {
    int error = 0;
    streams.push_back(pa_simple_new(nullptr, "velkin-test-player", PA_STREAM_PLAYBACK,
                                    feed.sink.c_str(), "signal", &sampleSpec, nullptr, &attributes,
                                    &error));
    failedToStart_.store(failedToStart_.load() || streams.back() == nullptr);
  }
  std::vector<float> block(size_t(blockFrames) * 2);
  while (!stop_.load()) {
    const int64_t first = frames_.load();
    const int64_t click = clickFrame_.load();
    for (size_t i = 0; i < feeds_.size(); ++i) {
      if (streams[i] == nullptr) {
        continue;
      }
      for (int64_t f = 0; f < blockFrames; ++f) {
        const bool clicked = click >= 0 && first + f >= click && first + f < click + rate / 1000;
        block[size_t(f) * 2] = block[size_t(f) * 2 + 1] =
            clicked ? 0.95f : feeds_[i].signal(first + f);
      }
      int error = 0;
      if (pa_simple_write(streams[i], block.data(), block.size() * sizeof(float), &error) < 0) {
        pa_simple_free(streams[i]);
        streams[i] = nullptr;
      }
    }
    frames_.store(first + blockFrames);
    if (first == 0) {
      playing.set_value();
    }
    if (std::all_of(streams.begin(), streams.end(), [](pa_simple* s) { return s == nullptr; })) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  for (pa_simple* stream : streams) {
    if (stream != nullptr) {
      pa_simple_free(stream);
    }
  }
}

std::unique_ptr<Player> settleSinks(const PulseDaemon& daemon,
                                    const std::vector<std::string>& sinks) {
  std::vector<Player::Feed> feeds;
  for (const std::string& sink : sinks) {
    feeds.push_back({sink, [](int64_t) { return 0.0f; }});
  }
  auto quiet = std::make_unique<Player>(std::move(feeds));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // PipeWire renders a null sink by its graph's clock, never ahead; and there a
  // sink that was suspended stops the virtual microphone's loopback for good.
  if (daemon.pipeWire()) {
    return quiet;
  }
  for (const std::string& sink : sinks) {
    if (!daemon.pactl("suspend-sink " + sink + " 1") ||
        !daemon.pactl("suspend-sink " + sink + " 0")) {
      return nullptr;
    }
  }
  return quiet;
}

float noise(uint64_t seed, int64_t frame) {
  // splitmix64 of (seed, frame)
  uint64_t z = seed * 0x9E3779B97F4A7C15ull + uint64_t(frame) + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return float(double(z >> 40) / double(1ull << 24)) - 0.5f;
}

double amplitudeAt(std::span<const float> samples, double hertz) {
  std::complex<double> sum;
  for (size_t n = 0; n < samples.size(); ++n) {
    const double phase = -2 * std::numbers::pi * hertz * double(n) / rate;
    sum += double(samples[n]) * std::complex<double>(std::cos(phase), std::sin(phase));
  }
  return samples.empty() ? 0 : 2 * std::abs(sum) / double(samples.size());
}

std::optional<int64_t> firstAbove(std::span<const float> samples, float threshold, int64_t from) {
  for (size_t n = size_t(std::max<int64_t>(from, 0)); n < samples.size(); ++n) {
    if (std::fabs(samples[n]) > threshold) {
      return int64_t(n);
    }
  }
  return std::nullopt;
}

Run longestZeroRun(std::span<const float> samples, int64_t from) {
  Run best;
  Run current;
  for (size_t n = size_t(std::max<int64_t>(from, 0)); n < samples.size(); ++n) {
    current = samples[n] != 0.0f    ? Run{}
              : current.length == 0 ? Run{int64_t(n), 1}
                                    : Run{current.start, current.length + 1};
    best = current.length > best.length ? current : best;
  }
  return best;
}

PipeSource::PipeSource(const PulseDaemon& daemon, double ppm, Signal signal)
    : ppm_(ppm), signal_(std::move(signal)) {
  const std::string fifo = daemon.directory() + "/drift.fifo";
  if (!daemon.pactl("load-module module-pipe-source source_name=drift file=" + fifo +
                    " format=float32le rate=48000 channels=2") ||
      !daemon.setDefault("source", "drift")) {
    return;
  }
  // The module holds the pipe open for reading: this does not block. Writes do
  // not either, so that a reader that stops never holds up the destructor.
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  ok_ = fd >= 0;
  if (ok_) {
    thread_ = std::thread([this, fd] { run(fd); });
  }
}

PipeSource::~PipeSource() {
  stop_.store(true);
  if (thread_.joinable()) {
    thread_.join();
  }
}

// Writes the source's audio as its clock makes it, a millisecond at a time as a
// USB microphone sends it; the pipe's reader takes what comes, so that clock
// is this one.
void PipeSource::run(int fd) {
  // The pipe's reader takes audio when it comes: a stall of this thread on a
  // busy machine would be the microphone's clock stalling. Real-time when allowed.
  const sched_param priority{.sched_priority = 10};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
  const double framesPerNanosecond = rate * (1 + ppm_ * 1e-6) / 1e9;
  const int64_t start = monotonicNanoseconds();
  int64_t written = 0;
  std::vector<float> block;
  while (!stop_.load()) {
    const auto due = int64_t(double(monotonicNanoseconds() - start) * framesPerNanosecond);
    for (int64_t f = written; f < due; ++f) {
      block.insert(block.end(), 2, signal_(f));
    }
    written = std::max(written, due);
    const ssize_t sent = ::write(fd, block.data(), block.size() * sizeof(float));
    if (sent < 0 && errno != EAGAIN) {
      break;
    }
    // Whole samples only go: the rest waits for the next round.
    block.erase(block.begin(), block.begin() + std::max<ssize_t>(sent, 0) / 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(fd);
}

}  // namespace velkin::testing
