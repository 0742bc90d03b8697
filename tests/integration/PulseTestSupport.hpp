#pragma once

// A private audio server, players that feed its sinks, and what the analysis of
// recorded tracks needs. For tests only.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace velkin::testing {

// An audio server of our own (scripts/pulse-daemon run): PulseAudio, or the kind
// VELKIN_AUDIO_SERVER names (pulseaudio-shm, pipewire). Sinks "call" (the
// default) and "mic_in", whose monitor the default source "mic" remaps, all at
// 48000 Hz. Started as our child, with PR_SET_PDEATHSIG so that it dies with the
// test process however that ends (PipeWire's other processes die with it);
// stopped by its pid when the object goes. While it lives, PULSE_SERVER points
// this process and its children at it.
class PulseDaemon {
 public:
  PulseDaemon();
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  // Empty when the daemon is up; otherwise what went wrong.
  const std::string& failure() const { return failure_; }
  const std::string& directory() const { return directory_; }
  bool pipeWire() const { return pipeWire_; }

  // Kills the server at once, as a crash would, and reaps it.
  void kill() { stop(false); }

  // Runs pactl with `arguments` against this daemon; its stdout, or nothing when
  // it failed.
  std::optional<std::string> pactl(const std::string& arguments) const;
  // The index of the first loaded module whose arguments hold `argument`.
  std::optional<std::string> moduleOf(const std::string& argument) const;
  // Makes `device` the default "sink" or "source" (`kind`), and waits until the
  // server has said so for 300 ms.
  bool setDefault(const std::string& kind, const std::string& device) const;

 private:
  void stop(bool politely);

  std::string directory_;
  pid_t pid_ = -1;
  bool pipeWire_ = false;
  std::string failure_;
};

// A signal by frame index, the same on both channels.
using Signal = std::function<float(int64_t frame)>;

float tone(int64_t frame, double hertz, float amplitude);

// Plays into sinks in lockstep, 5 ms at a time, until destroyed: frame n of every
// feed is handed to the server at the same moment. Made, it is playing: every
// feed's stream is connected (or failed to) and has its first frames, so that
// nothing the test does next finds a feed still connecting, however slow the
// build. A feed whose stream fails (its sink was removed) stops; the others go
// on. `buffer` is what the server holds for each feed: more rides out longer
// stalls of this process, but makes the sink render further ahead.
class Player {
 public:
  struct Feed {
    std::string sink;
    Signal signal;
  };

  explicit Player(std::vector<Feed> feeds,
                  std::chrono::milliseconds buffer = std::chrono::milliseconds(200));
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Adds a 1 ms full-scale click to every feed at the same frame, a few blocks
  // from now.
  void click();
  int64_t framesPlayed() const { return frames_.load(); }
  bool failedToStart() const { return failedToStart_.load(); }

 private:
  void run(std::promise<void>& playing);

  std::vector<Feed> feeds_;
  std::chrono::milliseconds buffer_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failedToStart_{false};
  std::atomic<int64_t> frames_{0};
  std::atomic<int64_t> clickFrame_{-1};
  std::thread thread_;
};

// A null sink that starts playing renders up to two seconds ahead at once; a
// monitor connected then gets its first audio only after that. Gives each sink a
// silent player of its own and resumes it afresh with it: from then on the sink
// renders just as far ahead as its players ask. Start the signals' players after
// this, so that nothing stalls them. Keep the returned player for the test.
std::unique_ptr<Player> settleSinks(const PulseDaemon& daemon,
                                    const std::vector<std::string>& sinks);

// Deterministic noise in [-0.5, 0.5), by seed and frame.
float noise(uint64_t seed, int64_t frame);

// The amplitude of the `hertz` component of `samples` (a mono track at 48 kHz).
double amplitudeAt(std::span<const float> samples, double hertz);

// The first frame whose magnitude exceeds `threshold`, if any.
std::optional<int64_t> firstAbove(std::span<const float> samples, float threshold,
                                  int64_t from = 0);

// The longest run of exact zeros in `samples` from `from` on: its start and length.
struct Run {
  int64_t start = 0;
  int64_t length = 0;
};
Run longestZeroRun(std::span<const float> samples, int64_t from = 0);

int64_t monotonicNanoseconds();

// A microphone on a clock of its own: a pipe source "drift", made the default
// source, fed `signal` (by its own frame index) from a thread at `ppm` off the
// monotonic clock, until destroyed.
class PipeSource {
 public:
  PipeSource(const PulseDaemon& daemon, double ppm, Signal signal);
  ~PipeSource();
  PipeSource(const PipeSource&) = delete;
  PipeSource& operator=(const PipeSource&) = delete;
  bool ok() const { return ok_; }

 private:
  void run(int fd);

  double ppm_;
  Signal signal_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace velkin::testing
