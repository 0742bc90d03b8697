// The capture service against a real, private PulseAudio daemon, driven directly
// with serial queues and a recording output.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Slowness.hpp"
#include "platform/Capture.hpp"
#include "platform/Dispatch.hpp"
#include "platform/pulse/PulseCaptureService.hpp"
#include "platform/pulse/PulseConnection.hpp"
#include "platform/pulse/PulseQueries.hpp"

namespace velkin {
namespace {

using testing::amplitudeAt;
using testing::firstAbove;
using testing::longestZeroRun;
using testing::monotonicNanoseconds;
using testing::Player;
using testing::PulseDaemon;
using testing::tone;
using namespace std::chrono_literals;

constexpr int rate = 48000;
constexpr int64_t window = 4800;  // 100 ms: 10 Hz bins, exact for the tones below
constexpr double callHz = 440;
constexpr double microphoneHz = 1000;
constexpr double headsetHz = 700;

struct Delivered {
  MediaTime time;
  int64_t frames = 0;
  std::optional<AudioStreamDescription> audio;
  size_t bytes = 0;
  std::vector<float> left;
  int64_t arrivedAt = 0;
  bool onItsQueue = false;
};

// The longest pause between two deliveries, the first of them before `until`,
// and when it ended.
struct Pause {
  int64_t length = 0;
  int64_t endedAt = 0;
};
Pause longestPause(const std::vector<Delivered>& delivered,
                   int64_t until = std::numeric_limits<int64_t>::max()) {
  Pause longest;
  for (size_t i = 1; i < delivered.size() && delivered[i - 1].arrivedAt < until; ++i) {
    if (delivered[i].arrivedAt - delivered[i - 1].arrivedAt > longest.length) {
      longest = {delivered[i].arrivedAt - delivered[i - 1].arrivedAt, delivered[i].arrivedAt};
    }
  }
  return longest;
}

// Records every sample with where and when it arrived, and every stop.
class Recorder final : public StreamOutput, public StreamDelegate {
 public:
  SerialQueue& queue(OutputType type) {
    return type == OutputType::screen ? screen_ : type == OutputType::audio ? audio_ : microphone_;
  }

  // Runs on the queue of `type`.
  void stream(CaptureStream&, const SampleBuffer& sample, OutputType type) override {
    Delivered entry;
    entry.time = sample.presentationTimeStamp();
    entry.onItsQueue = queue(type).isCurrent();
    entry.arrivedAt = monotonicNanoseconds();
    entry.bytes = sample.data().size();
    if (const FormatDescription* format = sample.formatDescription()) {
      if (const AudioStreamDescription* audio = format->streamBasicDescription()) {
        entry.audio = *audio;
        entry.frames = sample.frameCount();
        // The files' 16-bit samples, at full scale 1.0 as the players' signals.
        const auto* samples = reinterpret_cast<const int16_t*>(sample.data().data());
        for (int64_t f = 0; f < entry.frames; ++f) {
          entry.left.push_back(float(samples[f * audio->channelsPerFrame]) / 32768);
        }
      }
    }
    std::lock_guard lock(lock_);
    delivered_[type].push_back(std::move(entry));
  }

  // Runs on a thread of the backend's choosing.
  void streamDidStop(CaptureStream&, const Error& error) override {
    std::lock_guard lock(lock_);
    stops_.push_back(error);
    stopped_.notify_all();
  }

  std::vector<Delivered> delivered(OutputType type) const {
    std::lock_guard lock(lock_);
    const auto it = delivered_.find(type);
    return it == delivered_.end() ? std::vector<Delivered>{} : it->second;
  }

  size_t count(OutputType type) const { return delivered(type).size(); }

  std::vector<float> track(OutputType type) const {
    std::vector<float> samples;
    for (const Delivered& entry : delivered(type)) {
      samples.insert(samples.end(), entry.left.begin(), entry.left.end());
    }
    return samples;
  }

  std::vector<Error> stops() const {
    std::lock_guard lock(lock_);
    return stops_;
  }

  // Waits for a stop for `within`, stretched for a slow build.
  bool waitForStop(std::chrono::milliseconds within) {
    std::unique_lock lock(lock_);
    return stopped_.wait_for(lock, testing::stretched(within), [&] { return !stops_.empty(); });
  }

 private:
  SerialQueue audio_{"test.audio", QualityOfService::userInitiated};
  SerialQueue microphone_{"test.microphone", QualityOfService::userInitiated};
  SerialQueue screen_{"test.screen", QualityOfService::utility};
  mutable std::mutex lock_;  // guards delivered_, stops_
  std::condition_variable stopped_;
  std::map<OutputType, std::vector<Delivered>> delivered_;
  std::vector<Error> stops_;
};

StreamConfiguration callConfiguration() {
  StreamConfiguration configuration;
  configuration.minimumFrameInterval = MediaTime::make(1, 1);
  configuration.queueDepth = 2;
  configuration.showsCursor = false;
  configuration.capturesAudio = true;
  configuration.captureMicrophone = true;
  configuration.sampleRate = rate;
  configuration.channelCount = 2;
  return configuration;
}

// Calls `start` with a completion and waits for it; fails the test if the
// completion comes more than once.
template <typename T>
T awaitHandler(const std::function<void(std::function<void(T)>)>& start) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto promise = std::make_shared<std::promise<T>>();
  start([calls, promise](T value) {
    if (calls->fetch_add(1) == 0) {
      promise->set_value(std::move(value));
    } else {
      ADD_FAILURE() << "a completion handler was called twice";
    }
  });
  auto future = promise->get_future();
  EXPECT_EQ(future.wait_for(testing::stretched(10s)), std::future_status::ready);
  return future.get();
}

// One capture of the call: the recorder outlives the stream, as the queues must.
struct Session {
  explicit Session(StreamConfiguration configuration = callConfiguration()) {
    stream = service->makeStream(ContentFilter{}, configuration, recorder);
  }

  std::optional<Error> start() {
    for (OutputType type : {OutputType::screen, OutputType::audio, OutputType::microphone}) {
      if (auto error = stream->addStreamOutput(recorder, type, recorder.queue(type))) {
        return error;
      }
    }
    startedAt = monotonicNanoseconds();
    auto error = awaitHandler<std::optional<Error>>(
        [&](auto handler) { stream->startCapture(std::move(handler)); });
    started = monotonicNanoseconds();
    return error;
  }

  void stop() {
    stoppingAt = monotonicNanoseconds();
    const std::optional<Error> error = awaitHandler<std::optional<Error>>(
        [&](auto handler) { stream->stopCapture(std::move(handler)); });
    EXPECT_FALSE(error) << error->description();
    stoppedAt = monotonicNanoseconds();
  }

  // Frame 0 of both tracks is a moment of the start, and how long after the call
  // that moment lies depends on the machine: a wall-clock moment `at` lies in a
  // track no earlier than `earliest` and no later than `latest`.
  int64_t earliest(int64_t at) const { return framesSince(started, at); }
  int64_t latest(int64_t at) const { return framesSince(startedAt, at); }
  static int64_t framesSince(int64_t from, int64_t at) {
    return (at - from) / 1000 * rate / 1'000'000;
  }

  Recorder recorder;
  std::unique_ptr<CaptureService> service = makePulseCaptureService();
  std::unique_ptr<CaptureStream> stream;
  int64_t startedAt = 0;  // the start was asked for
  int64_t started = 0;    // and answered
  int64_t stoppingAt = 0;
  int64_t stoppedAt = 0;
};

// True to the call's time: a track spans the capture. It runs on past the stop
// by no more than the one server fragment (100 ms) that held it, and ends short
// of it by no more than the stop waits for that fragment (50 ms).
void expectSpansTheCapture(const std::vector<float>& track, const Session& session) {
  const int64_t frames = int64_t(track.size());
  EXPECT_GT(frames, session.earliest(session.stoppingAt) - rate * 7 / 100) << "cut short";
  EXPECT_LT(frames, session.latest(session.stoppedAt) + rate * 12 / 100) << "runs on";
}

// Every buffer of an audio track on its own queue, int16 48000/2, and the
// presentation times count the frames from 0 without a gap or overlap.
void expectOneTimeline(const std::vector<Delivered>& buffers, const char* name) {
  ASSERT_FALSE(buffers.empty()) << name;
  int64_t next = 0;
  for (size_t i = 0; i < buffers.size(); ++i) {
    const Delivered& buffer = buffers[i];
    ASSERT_TRUE(buffer.onItsQueue && buffer.audio && buffer.audio->sampleRate == rate &&
                buffer.audio->channelsPerFrame == 2 &&
                buffer.audio->format == SampleFormat::int16 && buffer.time.timescale == rate)
        << name << " buffer " << i;
    ASSERT_EQ(buffer.time.value, next) << name << " buffer " << i;
    // Whole 20 ms buffers, whatever the server sends: files cut on that grid.
    ASSERT_TRUE(buffer.frames > 0 && (buffer.frames % (rate / 50) == 0 || i + 1 == buffers.size()))
        << name << " buffer " << i << ": " << buffer.frames << " frames";
    next += buffer.frames;
  }
}

// The tone amplitudes of `track` in 100 ms windows from `from` to `to` (frames).
std::vector<double> amplitudes(const std::vector<float>& track, double hertz, int64_t from,
                               int64_t to) {
  std::vector<double> result;
  for (int64_t start = from; start + window <= std::min<int64_t>(to, int64_t(track.size()));
       start += window) {
    result.push_back(amplitudeAt(std::span(track).subspan(size_t(start), size_t(window)), hertz));
  }
  return result;
}

double minimum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}
double maximum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

Player::Feed toneInto(const std::string& sink, double hertz) {
  return {sink, [hertz](int64_t n) { return tone(n, hertz, 0.2f); }};
}

class PulseBackend : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(daemon_.failure(), ""); }

  // See settleSinks.
  void settle(std::vector<std::string> sinks) {
    quiet_ = testing::settleSinks(daemon_, sinks);
    ASSERT_TRUE(quiet_);
  }

  // Settles the sinks, then plays each its own tone, from 100 ms before this
  // returns until the player goes.
  std::unique_ptr<Player> playTones(const std::vector<std::pair<std::string, double>>& tones) {
    std::vector<std::string> sinks;
    std::vector<Player::Feed> feeds;
    for (const auto& [sink, hertz] : tones) {
      sinks.push_back(sink);
      feeds.push_back(toneInto(sink, hertz));
    }
    settle(sinks);
    auto player = std::make_unique<Player>(std::move(feeds));
    std::this_thread::sleep_for(100ms);
    return player;
  }

  PulseDaemon daemon_;
  std::unique_ptr<Player> quiet_;
};

TEST_F(PulseBackend, EachTrackCarriesItsOwnSignalOnOneSharedTimeline) {
  const auto player = playTones({{"call", callHz}, {"mic_in", microphoneHz}});
  ASSERT_FALSE(player->failedToStart());

  Session session;
  const std::optional<Error> error = session.start();
  ASSERT_FALSE(error) << error->description();
  std::this_thread::sleep_for(1200ms);
  player->click();
  std::this_thread::sleep_for(1300ms);
  session.stop();
  const auto all = [&] {
    const auto count = [&](OutputType type) { return session.recorder.count(type); };
    return count(OutputType::audio) + count(OutputType::microphone) + count(OutputType::screen);
  };
  const size_t afterStop = all();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(all(), afterStop) << "samples arrived after the stop was reported";

  const std::vector<Delivered> system = session.recorder.delivered(OutputType::audio);
  const std::vector<Delivered> microphone = session.recorder.delivered(OutputType::microphone);
  expectOneTimeline(system, "call audio");
  expectOneTimeline(microphone, "microphone");
  const std::vector<float> systemTrack = session.recorder.track(OutputType::audio);
  const std::vector<float> microphoneTrack = session.recorder.track(OutputType::microphone);

  expectSpansTheCapture(systemTrack, session);
  expectSpansTheCapture(microphoneTrack, session);

  // The click went into both sinks at the same frame.
  const auto systemClick = firstAbove(systemTrack, 0.6f);
  const auto microphoneClick = firstAbove(microphoneTrack, 0.6f);
  ASSERT_TRUE(systemClick && microphoneClick);
  std::printf("click %.1f ms later in the call audio\n",
              double(*systemClick - *microphoneClick) * 1000 / rate);
  EXPECT_LT(std::abs(*systemClick - *microphoneClick), rate / 40);

  // Each track its own tone and not the other's, away from the start and the click.
  const int64_t from = *firstAbove(systemTrack, 0.1f) + window;
  const int64_t clickFrom = std::min(*systemClick, *microphoneClick) - window;
  const int64_t clickTo = std::max(*systemClick, *microphoneClick) + window;
  for (auto [from_, to_] : {std::pair(from, clickFrom), std::pair(clickTo, int64_t(1) << 40)}) {
    EXPECT_GT(minimum(amplitudes(systemTrack, callHz, from_, to_)), 0.15);
    EXPECT_LT(maximum(amplitudes(systemTrack, microphoneHz, from_, to_)), 0.005);
    EXPECT_GT(minimum(amplitudes(microphoneTrack, microphoneHz, from_, to_)), 0.15);
    EXPECT_LT(maximum(amplitudes(microphoneTrack, callHz, from_, to_)), 0.005);
  }

  // Handed over in batches of 0.4 s, never in the bursts of seconds a source
  // sends when it is not asked for latency: a segment's last audio reaches its
  // file within the second the parent is promised.
  for (const auto* buffers : {&system, &microphone}) {
    const Pause pause = longestPause(*buffers);
    std::printf("longest pause between deliveries: %.1f ms\n", double(pause.length) / 1e6);
    EXPECT_LT(pause.length, 900'000'000);
  }

  // One frame without image per second on the screen queue.
  const std::vector<Delivered> screen = session.recorder.delivered(OutputType::screen);
  EXPECT_GE(screen.size(), 2u);
  EXPECT_LE(screen.size(), 4u);
  for (const Delivered& frame : screen) {
    EXPECT_TRUE(frame.onItsQueue);
    EXPECT_FALSE(frame.audio);
    EXPECT_EQ(frame.bytes, 0u);
  }
}

// The default sink as a client connected before a change is told of it, as the
// agent's own connection is.
std::string defaultSinkSeenBy(pulse::PulseConnection& client) {
  pulse::MainloopLock lock(client.mainloop());
  std::optional<std::string> sink;
  pulse::queryServer(client.context(), [&](std::optional<pulse::ServerFacts> facts) {
    sink = facts ? facts->defaultSink : "";
    client.signal();
  });
  client.waitUntil([&] { return sink.has_value(); });
  return sink.value_or("");
}

// A new default sink, then every sink but the microphone's feed gone: the call
// audio track follows, then stays silent, never recording the microphone. The
// microphone is a remapped one, as each server makes it.
TEST_F(PulseBackend, CallAudioFollowsTheDefaultSinkAndNeverTheMicrophone) {
  ASSERT_TRUE(
      daemon_.pactl("load-module module-null-sink sink_name=headset rate=48000 channels=2"));
  ASSERT_TRUE(
      daemon_.pactl("load-module module-remap-source source_name=vmic master=mic_in.monitor"));
  ASSERT_TRUE(daemon_.setDefault("source", "vmic"));
  settle({"call", "headset", "mic_in"});
  auto speakers = std::make_unique<Player>(
      std::vector<Player::Feed>{toneInto("call", callHz), toneInto("headset", headsetHz)});
  Player microphonePlayer({toneInto("mic_in", microphoneHz)});
  std::this_thread::sleep_for(100ms);

  Session session;
  const std::optional<Error> error = session.start();
  ASSERT_FALSE(error) << error->description();
  const auto observer = pulse::PulseConnection::open("observer");
  ASSERT_TRUE(observer);
  std::this_thread::sleep_for(1000ms);
  // The change takes effect between the request and its confirmation.
  const int64_t switchedAt = monotonicNanoseconds();
  ASSERT_TRUE(daemon_.setDefault("sink", "headset"));
  // A busy PipeWire session (0.3.65) has been seen to tell only clients that
  // connect after the change: one connected before never hears of it, and
  // neither does the agent, which keeps to what its server says.
  if (!testing::waitFor([&] { return defaultSinkSeenBy(*observer.value()) == "headset"; }, 300ms)) {
    GTEST_SKIP() << "the server did not tell its connected clients of the new default sink";
  }
  const int64_t confirmedAt = monotonicNanoseconds();
  std::this_thread::sleep_for(800ms);
  // Their streams would otherwise be moved along to the microphone's feed.
  speakers.reset();
  const int64_t removedAt = monotonicNanoseconds();
  for (const char* sink : {"headset", "call"}) {
    const std::optional<std::string> module = daemon_.moduleOf(std::string("sink_name=") + sink);
    ASSERT_TRUE(module && daemon_.pactl("unload-module " + *module));
  }
  std::this_thread::sleep_for(800ms);
  session.stop();
  EXPECT_TRUE(session.recorder.stops().empty());

  expectOneTimeline(session.recorder.delivered(OutputType::audio), "call audio");
  const std::vector<float> track = session.recorder.track(OutputType::audio);
  const int64_t switchFrame = session.earliest(switchedAt);
  const int64_t removedFrame = session.earliest(removedAt);
  const int64_t start = *firstAbove(track, 0.1f) + window;
  EXPECT_GT(minimum(amplitudes(track, callHz, start, switchFrame - window)), 0.15);
  EXPECT_LT(maximum(amplitudes(track, headsetHz, start, switchFrame - window)), 0.005);
  EXPECT_GT(
      minimum(amplitudes(track, headsetHz, session.latest(confirmedAt), removedFrame - window)),
      0.15);
  EXPECT_LT(maximum(amplitudes(track, headsetHz, session.latest(removedAt) + rate / 5,
                               int64_t(track.size()))),
            0.005);
  EXPECT_LT(maximum(amplitudes(track, microphoneHz, 0, int64_t(track.size()))), 0.005)
      << "the call audio track recorded the microphone";
  // The change costs a short stretch of silence, and the timeline stays true: at
  // most the fragment the old device was filling (100 ms) and the new one's start.
  const testing::Run gap = longestZeroRun(std::span(track).first(size_t(removedFrame)), start);
  std::printf("default sink change: %.1f ms of silence\n", double(gap.length) * 1000 / rate);
  // Where the silence lay, and whether the audio stopped coming or came silent,
  // tell a server that did not switch from an agent that did not follow.
  const Pause pause = longestPause(session.recorder.delivered(OutputType::audio), removedAt);
  EXPECT_LT(gap.length, rate * 3 / 20)
      << "the silence starts " << (gap.start - switchFrame) * 1000 / rate
      << " ms after the switch's earliest frame; until the sinks went, the longest pause"
      << " between deliveries was " << pause.length / 1'000'000 << " ms, ending "
      << (pause.endedAt - switchedAt) / 1'000'000 << " ms after the switch";
  expectSpansTheCapture(track, session);
  const std::vector<float> microphone = session.recorder.track(OutputType::microphone);
  EXPECT_GT(minimum(amplitudes(microphone, microphoneHz, *firstAbove(microphone, 0.1f) + window,
                               int64_t(microphone.size()))),
            0.15);
}

TEST_F(PulseBackend, ASuspendedMicrophoneBecomesSilenceOfTheSameLength) {
  const auto player = playTones({{"call", callHz}, {"mic_in", microphoneHz}});
  Session session;
  const std::optional<Error> error = session.start();
  ASSERT_FALSE(error) << error->description();
  std::this_thread::sleep_for(800ms);
  // The suspension lasts at least from the first command's answer to the second
  // command, and at most from the first command to the second's answer.
  const int64_t suspendAsked = monotonicNanoseconds();
  ASSERT_TRUE(daemon_.pactl("suspend-source mic 1"));
  const int64_t suspended = monotonicNanoseconds();
  std::this_thread::sleep_for(1000ms);
  const int64_t resumeAsked = monotonicNanoseconds();
  ASSERT_TRUE(daemon_.pactl("suspend-source mic 0"));
  const int64_t resumed = monotonicNanoseconds();
  std::this_thread::sleep_for(400ms);
  player->click();
  std::this_thread::sleep_for(400ms);
  session.stop();

  expectOneTimeline(session.recorder.delivered(OutputType::microphone), "microphone");
  const std::vector<float> microphone = session.recorder.track(OutputType::microphone);
  const std::vector<float> system = session.recorder.track(OutputType::audio);
  const int64_t start = *firstAbove(microphone, 0.1f);
  const testing::Run gap = longestZeroRun(microphone, start);
  std::printf("microphone suspended for %.3f to %.3f s: %.3f s of silence\n",
              double(resumeAsked - suspended) / 1e9, double(resumed - suspendAsked) / 1e9,
              double(gap.length) / rate);
  EXPECT_GT(gap.length, Session::framesSince(suspended, resumeAsked) - rate * 6 / 100);
  EXPECT_LT(gap.length, Session::framesSince(suspendAsked, resumed) + rate * 6 / 100);
  // The silence stands where the microphone was suspended: the audio after it
  // lies where the call audio says, as a click played into both shows. The
  // resumed audio is dated by when its sink mixed it, which runs up to a block
  // of the sink (80 ms here) ahead of the sound, in a rhythm of its own.
  const auto systemClick = firstAbove(system, 0.6f);
  const auto microphoneClick = firstAbove(microphone, 0.6f);
  ASSERT_TRUE(systemClick && microphoneClick);
  EXPECT_GT(*microphoneClick, gap.start + gap.length);
  std::printf("click %.1f ms later in the call audio\n",
              double(*systemClick - *microphoneClick) * 1000 / rate);
  EXPECT_LT(std::abs(*systemClick - *microphoneClick), rate / 10);
  // Both tracks still end together, as far as that dating lets them, and as the
  // stop lets them: each ends with the last fragment (100 ms) its source handed
  // on, and the stop waits only briefly for one under way (112 ms apart was seen
  // on a loaded machine); and the tone resumed after the silence.
  EXPECT_NEAR(double(microphone.size()) / rate, double(system.size()) / rate, 0.15);
  EXPECT_GT(minimum(amplitudes(microphone, microphoneHz, gap.start + gap.length + window / 2,
                               int64_t(microphone.size()))),
            0.15);
  const testing::Run systemGap = longestZeroRun(system, *firstAbove(system, 0.1f));
  EXPECT_LT(systemGap.length, rate / 100)
      << "at " << double(systemGap.start) / rate << " of " << double(system.size()) / rate;
}

// What the process holds: its threads by name and its descriptors by what they
// refer to, sorted, so that a difference names what was left behind.
std::vector<std::string> census() {
  namespace fs = std::filesystem;
  std::vector<std::string> held;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    held.push_back("thread " + name);
  }
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code closedMeanwhile;
    held.push_back("fd " + fs::read_symlink(fd.path(), closedMeanwhile).string());
  }
  std::sort(held.begin(), held.end());
  return held;
}

TEST_F(PulseBackend, DestroyingTheServiceAndItsStreamsLeavesNoThreadOrDescriptor) {
  const auto player = playTones({{"call", callHz}, {"mic_in", microphoneHz}});
  const auto before = census();
  for (int round = 0; round < 3; ++round) {
    Session session;
    const Result<ShareableContent> content =
        awaitHandler<Result<ShareableContent>>([&](auto handler) {
          session.service->getShareableContent(false, false, std::move(handler));
        });
    ASSERT_TRUE(content.ok());
    const std::optional<Error> error = session.start();
    ASSERT_FALSE(error) << error->description();
    std::this_thread::sleep_for(150ms);
    // Stopped in one round of two; the other is destroyed while capturing.
    if (round % 2 == 0) {
      session.stop();
      // The stop brings the tracks up to it, audio or not.
      EXPECT_GT(session.recorder.count(OutputType::audio), 0u);
    }
    session.stream.reset();
  }
  // A query the connection's end cancels is freed without an answer.
  {
    auto connection = pulse::PulseConnection::open("test");
    ASSERT_TRUE(connection);
    auto held = std::make_shared<int>(0);
    bool answered = false;
    pulse::MainloopLock lock(connection.value()->mainloop());
    pulse::queryServer(connection.value()->context(), [held, &answered](auto) { answered = true; });
    pa_context_disconnect(connection.value()->context());
    EXPECT_FALSE(answered);
    EXPECT_EQ(held.use_count(), 1);
  }
  EXPECT_EQ(census(), before);
}

TEST_F(PulseBackend, FailuresToStartNameTheirCause) {
  std::unique_ptr<CaptureService> service = makePulseCaptureService();
  const Result<ShareableContent> content = awaitHandler<Result<ShareableContent>>(
      [&](auto handler) { service->getShareableContent(false, false, std::move(handler)); });
  ASSERT_TRUE(content.ok()) << content.error().description();
  EXPECT_EQ(content.value().displays.size(), 1u);

  // A machine whose only input is a monitor has no microphone.
  ASSERT_TRUE(daemon_.setDefault("source", "call.monitor"));
  {
    Session session;
    const std::optional<Error> error = session.start();
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("No microphone"), std::string::npos) << error->message;
    EXPECT_NE(error->message.find("call.monitor"), std::string::npos) << error->message;
    session.stop();
  }
  // Without the microphone output it records the call audio all the same, until
  // the server dies: then the stream stops once, with the server's reason.
  Player player({toneInto("call", callHz)});
  StreamConfiguration configuration = callConfiguration();
  configuration.captureMicrophone = false;
  Session session(configuration);
  const std::optional<Error> error = session.start();
  ASSERT_FALSE(error) << error->description();
  std::this_thread::sleep_for(500ms);
  daemon_.kill();
  ASSERT_TRUE(session.recorder.waitForStop(2s));
  const size_t delivered = session.recorder.count(OutputType::audio);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(session.recorder.stops().size(), 1u);
  EXPECT_EQ(session.recorder.stops()[0].domain, "PulseAudio");
  EXPECT_NE(session.recorder.stops()[0].message.find("audio server"), std::string::npos);
  EXPECT_EQ(session.recorder.count(OutputType::audio), delivered);
  EXPECT_EQ(session.recorder.count(OutputType::microphone), 0u);
  // Stopping afterwards still answers, and says nothing more to the delegate.
  session.stop();
  EXPECT_EQ(session.recorder.stops().size(), 1u);
  expectOneTimeline(session.recorder.delivered(OutputType::audio), "call audio");

  // No server at all: both the content request and a start give its reason.
  const Result<ShareableContent> none = awaitHandler<Result<ShareableContent>>(
      [&](auto handler) { service->getShareableContent(false, false, std::move(handler)); });
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().message, "Could not connect to the audio server: Connection refused");
  Session again;
  const std::optional<Error> refused = again.start();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message, "Could not connect to the audio server: Connection refused");
}

}  // namespace
}  // namespace velkin
