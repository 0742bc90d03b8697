#include "LongCall.hpp"

#include <sndfile.h>
#include <sys/stat.h>

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cmath>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <utility>

#include "ScriptedHost.hpp"
#include "capture/CaptureController.hpp"
#include "platform/Dispatch.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"
#include "segments/SegmentFiles.hpp"

namespace velkin::longcall {

namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kBufferFrames = kRate / 50;  // 20 ms, as the scripted host delivers
constexpr int64_t kSegmentFrames = 5 * kRate;
constexpr int64_t kBuffersPerMinute = 60 * kRate / kBufferFrames;
constexpr std::size_t kProblemsKept = 20;
// A segment finish is a close and an fsync; far longer than this means it is lost.
constexpr std::chrono::seconds kFinishTimeout{30};

int64_t countEntries(const std::filesystem::path& directory) {
  std::error_code error;
  int64_t count = 0;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

int64_t residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream fields(line.substr(6));
      int64_t kib = 0;
      fields >> kib;
      return kib;
    }
  }
  return 0;
}

bool entryExists(const std::filesystem::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// A float sample as the CAF writer stores it: full scale 1.0 = 32768, saturated.
int toPcm16(float value) {
  const float scaled = value * 32768.0f;
  if (scaled >= 32767.0f) {
    return 32767;
  }
  if (scaled <= -32768.0f) {
    return -32768;
  }
  return static_cast<int>(std::lrint(scaled));
}

// The stereo frame the scripted host puts at frame `pts` of a track: a ramp
// that repeats every 1000 frames, negated on the microphone.
std::pair<int, int> deliveredFrame(OutputType type, int64_t pts) {
  const float value = static_cast<float>(pts % 1000) / 1000.0f;
  return {toPcm16(type == OutputType::microphone ? -value : value), toPcm16(0.5f * value)};
}

class Problems {
 public:
  explicit Problems(LongCallResult& result) : result_(result) {}

  void add(std::string what) {
    ++result_.problemCount;
    if (result_.problems.size() < kProblemsKept) {
      result_.problems.push_back(std::move(what));
    }
  }

 private:
  LongCallResult& result_;
};

// Plays the parent for one track: takes each marked segment in number order,
// checks it against what was delivered, and removes it with its marker.
class TrackChecker {
 public:
  TrackChecker(std::string label, OutputType type, std::filesystem::path directory,
               Problems& problems)
      : label_(std::move(label)),
        type_(type),
        directory_(std::move(directory)),
        problems_(problems) {}

  // Only marked segments are touched: an unmarked one may still be written.
  void collect() {
    for (;;) {
      const std::filesystem::path segment = directory_ / segmentFileName(label_, next_);
      const std::filesystem::path marker = readyMarkerPath(segment);
      if (!entryExists(marker)) {
        return;
      }
      check(segment);
      std::error_code error;
      if (!std::filesystem::remove(segment, error) || !std::filesystem::remove(marker, error)) {
        problems_.add(segment.filename().string() + ": cannot remove: " + error.message());
      }
      ++next_;
    }
  }

  // After the stop, once every finish has completed: the last segment's length
  // and the total.
  void close(int64_t deliveredFrames) {
    if (lastFrames_ && (*lastFrames_ <= 0 || *lastFrames_ > kSegmentFrames)) {
      problems_.add(label_ + ": last segment holds " + std::to_string(*lastFrames_) + " frames");
    }
    if (frames_ != deliveredFrames) {
      problems_.add(label_ + ": " + std::to_string(frames_) + " frames written, " +
                    std::to_string(deliveredFrames) + " delivered");
    }
  }

  TrackSummary summary(int64_t deliveredFrames) const {
    return TrackSummary{label_, deliveredFrames, next_ - 1, frames_};
  }

 private:
  void check(const std::filesystem::path& segment) {
    const std::string name = segment.filename().string();
    // A segment after this one exists, so this one was cut by rotation and
    // must hold exactly five seconds.
    if (lastFrames_ && *lastFrames_ != kSegmentFrames) {
      problems_.add(label_ + " segment " + std::to_string(next_ - 1) + ": " +
                    std::to_string(*lastFrames_) + " frames, not " +
                    std::to_string(kSegmentFrames));
    }
    lastFrames_ = 0;

    SF_INFO info{};
    SNDFILE* file = sf_open(segment.c_str(), SFM_READ, &info);
    if (file == nullptr) {
      problems_.add(name + ": unreadable: " + sf_strerror(nullptr));
      return;
    }
    const bool layout = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_CAF &&
                        (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
                        info.samplerate == kRate && info.channels == 2;
    if (!layout) {
      problems_.add(name + ": format " + std::to_string(info.format) + ", " +
                    std::to_string(info.samplerate) + " Hz, " + std::to_string(info.channels) +
                    " channels");
    } else if (info.frames > 0) {
      // A few frames place the file on the track's timeline: a lost, repeated
      // or misrouted buffer moves them.
      checkFrame(file, name, 0);
      checkFrame(file, name, info.frames / 2);
      checkFrame(file, name, info.frames - 1);
    }
    sf_close(file);
    lastFrames_ = info.frames;
    frames_ += info.frames;
  }

  void checkFrame(SNDFILE* file, const std::string& name, sf_count_t index) {
    short frame[2] = {};
    if (sf_seek(file, index, SEEK_SET) != index || sf_readf_short(file, frame, 1) != 1) {
      problems_.add(name + ": frame " + std::to_string(index) + " unreadable");
      return;
    }
    const auto [left, right] = deliveredFrame(type_, frames_ + index);
    // One step of tolerance for the rounding of the float conversion.
    if (std::abs(frame[0] - left) > 1 || std::abs(frame[1] - right) > 1) {
      problems_.add(name + ": frame " + std::to_string(index) + " is (" + std::to_string(frame[0]) +
                    ", " + std::to_string(frame[1]) + "), delivered (" + std::to_string(left) +
                    ", " + std::to_string(right) + ")");
    }
  }

  const std::string label_;
  const OutputType type_;
  const std::filesystem::path directory_;
  Problems& problems_;
  int64_t next_ = 1;
  int64_t frames_ = 0;                 // in the segments checked so far
  std::optional<int64_t> lastFrames_;  // of the last segment checked
};

class Call {
 public:
  Call(const LongCallOptions& options, LongCallResult& result)
      : options_(options),
        result_(result),
        problems_(result),
        host_(scripted::Scenario{}, makeSndfileMediaWriterService(), &runtime_),
        controller_(host_, runtime_, options.directory,
                    [this](int status) {
                      // Runs on the scripted host's thread, when the stream stops by itself.
                      std::lock_guard guard(exitsLock_);
                      exits_.push_back(status);
                    }),
        interviewer_("interviewer", OutputType::audio, options.directory, problems_),
        candidate_("candidate", OutputType::microphone, options.directory, problems_) {}

  // The drive is the main routine: it runs on the main queue, which the calling
  // thread serves until the drive ends, as the process entry does.
  void run() {
    std::exception_ptr failure;
    asio::co_spawn(runtime_.mainExecutor(), drive(), [&](std::exception_ptr error) {
      // Runs on the main queue (the calling thread) when the drive has ended.
      failure = error;
      runtime_.stopMain();
    });
    runtime_.runMain();
    if (failure) {
      std::rethrow_exception(failure);
    }
    std::lock_guard guard(exitsLock_);
    result_.exitStatuses = exits_;
  }

 private:
  asio::awaitable<void> drive() {
    const std::optional<Error> failed = co_await asio::co_spawn(
        runtime_.workerExecutor(), controller_.start(), asio::use_awaitable);
    if (failed) {
      problems_.add("start failed: " + failed->localizedDescription());
      co_return;
    }
    scripted::ScriptedStream& stream = *host_.stream();
    sample(0);

    // The host delivers from this thread, as fast as the writers take it; a
    // drain now and then keeps the queues from holding the whole call.
    const int64_t buffers = std::llround(options_.seconds * kRate) / kBufferFrames;
    const int64_t drainEvery = std::max<int64_t>(1, options_.drainEvery);
    for (int64_t i = 0; i < buffers; ++i) {
      stream.deliver(OutputType::audio, i * kBufferFrames, kBufferFrames);
      stream.deliver(OutputType::microphone, i * kBufferFrames, kBufferFrames);
      const int64_t delivered = i + 1;
      if (delivered % kBuffersPerMinute == 0) {
        // Sampled with no finish in flight, so that a file being closed on the
        // finishing thread does not show up as a descriptor more.
        stream.drain();
        settle();
        sample(static_cast<double>(delivered * kBufferFrames) / kRate);
      } else if (delivered % drainEvery == 0) {
        stream.drain();
        collect();
      }
    }
    stream.drain();

    co_await asio::co_spawn(runtime_.workerExecutor(), controller_.stop(), asio::use_awaitable);
    settle();
    const int64_t deliveredFrames = buffers * kBufferFrames;
    interviewer_.close(deliveredFrames);
    candidate_.close(deliveredFrames);
    leftovers();
    result_.tracks = {interviewer_.summary(deliveredFrames), candidate_.summary(deliveredFrames)};
    sample(static_cast<double>(deliveredFrames) / kRate);
  }

  void collect() {
    interviewer_.collect();
    candidate_.collect();
  }

  // Waits for every segment finish started so far, then takes what they marked.
  void settle() {
    if (!controller_.waitForPendingFinishes(kFinishTimeout)) {
      problems_.add("segment finishes still pending after " +
                    std::to_string(kFinishTimeout.count()) + " s");
    }
    collect();
  }

  // Once both tracks have taken their marked segments, nothing of theirs may
  // remain: an unmarked segment, a gap in the numbers or a stray marker.
  void leftovers() {
    std::error_code error;
    for (std::filesystem::directory_iterator it(options_.directory, error), end;
         !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.rfind("interviewer-", 0) == 0 || name.rfind("candidate-", 0) == 0) {
        problems_.add("left behind: " + name);
      }
    }
  }

  void sample(double simulatedSeconds) {
    result_.samples.push_back(sampleResources(simulatedSeconds));
    if (options_.onSample) {
      options_.onSample(result_.samples.back());
    }
  }

  const LongCallOptions& options_;
  LongCallResult& result_;
  Problems problems_;
  // Before the controller: its exit callback may run until the stream is gone.
  std::mutex exitsLock_;  // guards exits_
  std::vector<int> exits_;
  // Destroyed in reverse: the controller (and its stream) before the host that
  // serves it, the runtime last.
  Runtime runtime_;
  scripted::ScriptedHost host_;
  CaptureController controller_;
  TrackChecker interviewer_;
  TrackChecker candidate_;
};

}  // namespace

ResourceSample sampleResources(double simulatedSeconds) {
  return ResourceSample{simulatedSeconds, residentKiB(), countEntries("/proc/self/fd"),
                        countEntries("/proc/self/task")};
}

LongCallResult runLongCall(const LongCallOptions& options) {
  LongCallResult result;
  std::error_code ignored;
  std::filesystem::create_directories(options.directory, ignored);
  const auto began = std::chrono::steady_clock::now();
  {
    Call call(options, result);
    call.run();
  }
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  return result;
}

}  // namespace velkin::longcall
