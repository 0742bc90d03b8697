// Server-free parts of the Linux backend: the desktop size from a fake sysfs tree,
// how a track's audio is dated, batched and pointed at devices, and what a start
// does when the server is silent or absent.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/DrmDisplay.hpp"
#include "platform/pulse/AudioBatcher.hpp"
#include "platform/pulse/ClockDrift.hpp"
#include "platform/pulse/DeviceFollower.hpp"
#include "platform/pulse/DriftResampler.hpp"
#include "platform/pulse/LiveCaptureTuning.hpp"
#include "platform/pulse/PulseCaptureStream.hpp"
#include "platform/pulse/PulseConnection.hpp"
#include "platform/pulse/ReadPace.hpp"
#include "platform/pulse/TrackTimeline.hpp"

namespace velkin {
namespace {

struct Connector {
  const char* name;
  const char* status;
  const char* modes;
};

// The desktop size from a fake sysfs tree: a card, a render node and `connectors`.
std::pair<uint32_t, uint32_t> desktop(const std::vector<Connector>& connectors) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("velkin-drm-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root / "card0");  // a card: no status
  std::filesystem::create_directories(root / "renderD128");
  for (const Connector& c : connectors) {
    std::filesystem::create_directories(root / c.name);
    std::ofstream(root / c.name / "status") << c.status << "\n";
    std::ofstream(root / c.name / "modes") << c.modes;
  }
  const Display display = firstConnectedDrmDisplay(root);
  std::filesystem::remove_all(root);
  return {display.width, display.height};
}

// The first mode of the first connected connector with a usable one, in natural
// order; nothing without a connected monitor or without the tree.
TEST(DrmDisplay, IsTheFirstUsableModeOfTheFirstConnectedConnectorInNaturalOrder) {
  EXPECT_EQ(desktop({{"card0-DP-1", "disconnected", ""},
                     {"card0-DP-10", "connected", "3840x2160\n"},
                     {"card0-DP-2", "connected", "2560x1440\n1920x1080\n"},
                     {"card0-HDMI-A-1", "connected", "1280x720\n"}}),
            std::pair(2560u, 1440u));
  EXPECT_EQ(desktop({{"card0-DP-1", "connected", ""},
                     {"card0-DP-2", "connected", "garbage\n"},
                     {"card0-eDP-1", "connected", "1920x1080i\n"}}),
            std::pair(1920u, 1080u));
  EXPECT_EQ(desktop({{"card0-DP-1", "disconnected", "1920x1080\n"},
                     {"card0-DP-2", "unknown", "1920x1080\n"}}),
            std::pair(0u, 0u));
  const Display missing = firstConnectedDrmDisplay("/nonexistent/velkin-drm");
  EXPECT_EQ(std::pair(missing.width, missing.height), std::pair(0u, 0u));
}

TEST(DrmMode, ParsesOnlyWidthByHeight) {
  EXPECT_EQ(parseDrmMode("1920x1080")->width, 1920u);
  EXPECT_EQ(parseDrmMode("1920x1080i")->height, 1080u);
  EXPECT_FALSE(parseDrmMode(""));
  EXPECT_FALSE(parseDrmMode("x1080"));
  EXPECT_FALSE(parseDrmMode("1920x"));
  EXPECT_FALSE(parseDrmMode("0x0"));
  EXPECT_FALSE(parseDrmMode("1920 1080"));
}

// Frames at 48 kHz; a fragment of 20 ms is 960 frames.
constexpr int64_t fragment = 960;
constexpr int64_t ms = 1'000'000;  // in nanoseconds

// The reply of a source that has captured steadily since `startFrame`, when the
// server has written `written` frames and `latency` more are in the device.
pulse::StreamTiming steady(int64_t startFrame, int64_t written, int64_t latency = 0) {
  return pulse::StreamTiming{startFrame + written + latency, written, latency};
}

// A source `ppm` off the timeline's clock, dated every 4 s with up to `jitter`
// frames of noise (a frame only ever looks captured early), placed at the ratio
// the estimate gives: how far (ms) its audio strayed from where it was captured,
// at most and at the end. `step`: frames lost at once after 20 minutes.
std::pair<double, double> drift(pulse::ClockDrift& clock, double ppm, int64_t jitter, int datings,
                                int64_t step = 0, unsigned seed = 18) {
  // The engine's output is the same everywhere; a distribution's is not.
  std::mt19937 random(seed);
  const auto early = [&] { return int64_t(random() % uint64_t(jitter + 1)); };
  double index = 0;
  double placed = 0;
  std::pair<double, double> strayed;
  for (int k = 0; k < datings; ++k) {
    const int64_t captured = int64_t(k) * 192'000;
    strayed.second = (placed - double(captured)) / 48;
    strayed.first = std::max(strayed.first, std::fabs(strayed.second));
    clock.observe(int64_t(index), captured - early() + (k > 300 ? step : 0), int64_t(placed));
    index += 192'000 * (1 + ppm * 1e-6);
    placed += 192'000 * (1 + ppm * 1e-6) * clock.ratio().value_or(1);
  }
  return strayed;
}

TEST(ClockDrift, OnlyADriftBeyondTheNoiseIsResampledBackWithinTheRange) {
  const pulse::ClockDrift::Limits limits = pulse::tuning::driftLimits(48000);
  // An hour on the same clock, with a steady source's noise up to a monitor's
  // pieces of 35 ms, and a step of audio lost or doubled: never resampled (the
  // audio lies exactly where it came), so it stays bit-exact.
  for (const int64_t jitter : {48, 480, 1024, 1700}) {
    for (const int64_t step : {0, 240, -1000}) {
      pulse::ClockDrift clock(limits);
      EXPECT_EQ(drift(clock, 0, jitter, 900, step).first, 0) << jitter << " " << step;
    }
  }
  // Noise whose first datings line up by chance, as if the clock drifted.
  for (const auto& [jitter, seed] : {std::pair<int64_t, unsigned>{480, 183}, {1700, 78}}) {
    pulse::ClockDrift clock(limits);
    EXPECT_EQ(drift(clock, 0, jitter, 900, 0, seed).first, 0) << jitter << " " << seed;
  }
  // Drifts either way are brought back and held within 25 ms: 90 s of them.
  // Four times the drift strays further before it is known, and comes back.
  // A slow one, over more datings than the estimate keeps, within the hour.
  for (const double ppm : {500.0, -500.0, 1000.0, -1000.0, 4000.0, -4000.0, 15.0, -15.0}) {
    SCOPED_TRACE(ppm);
    pulse::ClockDrift clock(limits);
    const auto [most, last] = drift(clock, ppm, 48, std::fabs(ppm) < 100 ? 900 : 23);
    ASSERT_TRUE(clock.ratio());
    EXPECT_NEAR(*clock.ratio(), 1 / (1 + ppm * 1e-6), 6e-4);  // still pulling back
    EXPECT_LT(most, std::fabs(ppm) > 1000 ? 50 : 25);
    EXPECT_LT(std::fabs(last), std::fabs(ppm) > 1000 ? 15 : 5);
    // A hole forgets the clock: a new device may have another.
    clock.restart();
    EXPECT_FALSE(clock.ratio());
  }
  // Further off than can be corrected: said so, and copied through as before.
  pulse::ClockDrift clock(limits);
  drift(clock, -8000, 48, 10);
  EXPECT_TRUE(clock.outOfRange());
  EXPECT_FALSE(clock.ratio());
}

TEST(DriftResampler, StartsChangesAndStopsWithoutAClickOrAFrameTooMany) {
  const double step = 2 * std::numbers::pi * 440 / 48000;
  std::vector<int16_t> tone(26'000);
  for (size_t n = 0; n < tone.size(); ++n) {
    tone[n] = int16_t(std::lrint(16384 * std::sin(step * double(n))));
  }
  const auto frames = [&](size_t from, size_t count) {
    return std::as_bytes(std::span(tone).subspan(from, count));
  };
  pulse::DriftResampler resampler(1, 48000);
  std::vector<std::byte> out(frames(0, 2000).begin(), frames(0, 2000).end());  // copied through
  resampler.copied(frames(0, 2000));
  double expected = 2000;
  size_t taken = 2000;
  for (const double ratio : {0.999, 1.0012, 0.9995, 1.004, 0.996}) {
    ASSERT_TRUE(resampler.resample(ratio));
    for (int piece = 0; piece < 4; ++piece, taken += 1200) {
      resampler.process(frames(taken, 1200), out);
      expected += 1200 * ratio;
    }
  }
  resampler.stop(out);
  EXPECT_FALSE(resampler.active());
  std::vector<int16_t> samples(out.size() / sizeof(int16_t));
  std::memcpy(samples.data(), out.data(), out.size());
  EXPECT_NEAR(double(samples.size()), expected, 1.5);
  // No step between two frames larger than the tone's own: no fade-in, repeat,
  // gap or jump at the start, at a change of ratio or at the stop.
  int largest = 0;
  for (size_t n = 1; n + 64 < samples.size(); ++n) {
    largest = std::max(largest, std::abs(samples[n] - samples[n - 1]));
  }
  EXPECT_LT(largest, 16384 * step * 1.05 + 1);  // and a rounding
}

// One connection through steady audio with jitter, a burst the server held back,
// a suspended source, and audio dated before the position.
TEST(TrackTimeline, OnlyAStretchWithoutCaptureBecomesSilence) {
  pulse::TrackTimeline timeline(fragment);
  int64_t read = 0;  // stream frames placed so far
  int64_t base = 0;  // where the stream's frame 0 was captured
  const auto place = [&](int64_t frames, int64_t jitter = 0) {
    pulse::StreamTiming timing = steady(base, read + frames, 240);
    timing.atFrame += jitter;
    const int64_t silence = timeline.silenceBefore(read, timing);
    timeline.advance(silence + frames);
    read += frames;
    return silence;
  };
  EXPECT_EQ(place(fragment), 0);
  for (int64_t n = 1; n < 500; ++n) {
    // Replies late or early by up to half a fragment.
    ASSERT_EQ(place(fragment, (n % 7 - 3) * fragment / 6), 0) << n;
  }
  // We stalled for 1 s and the server sends it at once: latency, not a gap.
  EXPECT_EQ(place(48'000), 0);
  // The source was suspended for 0.75 s: the write index stood still meanwhile.
  base += 36'000;
  EXPECT_EQ(place(fragment), 36'000);
  EXPECT_EQ(place(fragment), 0);
  EXPECT_EQ(timeline.position(), read + 36'000);
  // The source clock runs fast, or a fill overshot: audio dated before the
  // position follows on; nothing is taken back.
  timeline.advance(10 * fragment);
  EXPECT_EQ(place(fragment), 0);
}

TEST(TrackTimeline, ShortGapsAreJitterExceptAtTheStartRightAfterAReconnectionOrAFill) {
  // The sink had rendered ahead before we connected: the first audio was captured
  // 1.3 s into the capture. That gap is filled, and so is a gap of a few frames.
  for (const int64_t start : {int64_t(62'400), int64_t(5), int64_t(-300)}) {
    EXPECT_EQ(pulse::TrackTimeline(fragment).silenceBefore(0, steady(start, fragment)),
              std::max<int64_t>(start, 0));
  }
  pulse::TrackTimeline timeline(fragment);
  EXPECT_EQ(timeline.silenceBefore(0, steady(0, fragment)), 0);
  timeline.advance(fragment);
  // Mid-connection, a reply 15 ms late is jitter.
  EXPECT_EQ(timeline.silenceBefore(fragment, steady(720, 2 * fragment)), 0);
  timeline.advance(fragment);
  // A new connection starts 10 ms after the old one ended: a real gap.
  timeline.startConnection();
  int64_t resumedAt = timeline.position() + 480;
  EXPECT_EQ(timeline.silenceBefore(0, steady(resumedAt, fragment)), 480);
  timeline.advance(480 + fragment);
  // So is the rest of a stretch that was filled up to just short of the audio.
  EXPECT_EQ(timeline.silenceUntil(timeline.position() - 1), 0);
  EXPECT_EQ(timeline.silenceUntil(timeline.position() + 4800), 4800);
  timeline.advance(4800);
  resumedAt = timeline.position() + 240;
  EXPECT_EQ(timeline.silenceBefore(0, steady(resumedAt, fragment)), 240);
}

// A new device's stream that replaces one still delivering: what it recorded
// before the track's position is dropped once, never on a plain reconnection.
TEST(TrackTimeline, OnlyAReplacingConnectionDropsWhatTheOldDeviceDelivered) {
  pulse::TrackTimeline timeline(fragment);
  timeline.advance(10 * fragment);
  timeline.startConnection(true);
  EXPECT_EQ(timeline.silenceBefore(0, steady(9 * fragment, fragment)), -fragment);
  EXPECT_EQ(timeline.silenceBefore(fragment, steady(8 * fragment, 2 * fragment)), 0);
  timeline.startConnection();
  EXPECT_EQ(timeline.silenceBefore(0, steady(9 * fragment, fragment)), 0);
}

// Reads pause only as long as the socket holds what comes meanwhile, at most
// the limit; the pause grows back gradually and shortens at once.
TEST(ReadPace, KeepsWhatQueuesWithinTheSocketsRoom) {
  pulse::ReadPace pace({.maxPauseUsec = 100'000,
                        .budgetBytes = 100'000,
                        .pieceOverheadBytes = 1000,
                        .windowNanoseconds = 100 * ms});
  pace.update(0, 0, 0);
  EXPECT_EQ(pace.pauseUsec(), 0);
  // 100 KB a second in whole fragments: the room allows 1 s, the limit 100 ms.
  std::vector<int64_t> pauses;
  for (int64_t i = 1; i <= 5; ++i) {
    pace.update(i * 100 * ms, 2 * i, i * 8'000);
    pauses.push_back(pace.pauseUsec());
  }
  EXPECT_EQ(pauses, (std::vector<int64_t>{10'000, 30'000, 70'000, 100'000, 100'000}));
  pace.update(550 * ms, 1000, 1'000'000);  // not a whole window yet
  EXPECT_EQ(pace.pauseUsec(), 100'000);
  // Hundreds of small pieces: their bookkeeping fills the socket first.
  pace.update(600 * ms, 500, 50'000);
  EXPECT_EQ(pace.pauseUsec(), int64_t(100'000) * 100'000 / (10'000 + 490 * 1000));
}

TEST(Dating, AudioWaitsForTheServersTimingOnlyWhenItCouldFollowAGap) {
  const pulse::DatingPolicy policy{250 * ms, 2000 * ms, 200 * ms};
  struct Case {
    pulse::ArrivalFacts facts;
    bool dated;
  } cases[] = {
      {{10'000 * ms, 9'900 * ms, 9'000 * ms, false, false}, false},  // at the fragment's pace
      {{10'000 * ms, 0, 9'000 * ms, false, false}, true},            // first of a connection
      {{10'000 * ms, 9'700 * ms, 9'000 * ms, false, false}, true},   // after a pause
      {{10'000 * ms, 9'900 * ms, 7'000 * ms, false, false}, true},   // not dated for long
      {{10'000 * ms, 9'900 * ms, 9'000 * ms, true, false}, true},    // waits behind a request
      {{10'000 * ms, 9'900 * ms, 9'000 * ms, false, true}, true},    // after a fill
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pulse::mustDate(policy, c.facts), c.dated) << c.facts.previousArrival;
  }
  // A quiet source that has sent all it captured had no audio up to the reply,
  // less what sits in the device and a margin; one that sent more is in latency.
  EXPECT_EQ(pulse::quietUntil({48'000, 9'600, 480}, 9'600, 960), 48'000 - 480 - 960);
  EXPECT_FALSE(pulse::quietUntil({48'000, 9'700, 480}, 9'600, 960));
  // The timer is due for a quiet track after the quiet time, for a detached one
  // from now, and never for a track nobody wants.
  EXPECT_EQ(pulse::nextQuietCheck(policy, true, true, 5 * ms, 90 * ms), 205 * ms);
  EXPECT_EQ(pulse::nextQuietCheck(policy, true, false, 5 * ms, 90 * ms), 290 * ms);
  EXPECT_FALSE(pulse::nextQuietCheck(policy, false, true, 5 * ms, 90 * ms));
}

TEST(AudioBatcher, HandsOutWholeBuffersOnTheGridInBatchesAndTheRestAtTheEnd) {
  using Take = pulse::AudioBatcher::Take;
  // 2-byte frames, buffers of 3 frames, batches of at least 6.
  pulse::AudioBatcher batcher(2, 3, 6);
  batcher.reset(30);
  const std::vector<std::byte> five(10, std::byte{1});
  batcher.addAudio(five);
  EXPECT_FALSE(batcher.take(Take::batch));  // 5 frames: not a batch yet
  batcher.addSilence(3);
  auto batch = batcher.take(Take::batch);  // 8 frames: 6 go, on the grid
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->position, 30);
  ASSERT_EQ(batch->data.size(), 12u);
  EXPECT_EQ(batch->data[9], std::byte{1});
  EXPECT_EQ(batch->data[10], std::byte{0});
  EXPECT_EQ(batcher.heldFrames(), 2);
  EXPECT_FALSE(batcher.take(Take::whole));  // less than a buffer stays
  batcher.addSilence(2);
  batch = batcher.take(Take::whole);  // the other track's batch went: one buffer follows
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->position, 36);
  EXPECT_EQ(batch->data.size(), 6u);
  batch = batcher.take(Take::all);  // the end of the track: the short rest too
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->position, 39);
  EXPECT_EQ(batch->data.size(), 2u);
  EXPECT_FALSE(batcher.take(Take::all));
}

TEST(DeviceFollowing, TheMicrophoneIsNeverAMonitorAndTheCallAudioNeverItsFeed) {
  using pulse::SinkFacts;
  using pulse::SourceFacts;
  const SinkFacts call{"call", "call.monitor"};
  const SinkFacts feed{"mic_in", "mic_in.monitor"};
  const SourceFacts mic{"mic", false, "mic_in.monitor"};
  const SourceFacts monitor{"call.monitor", true, ""};
  struct Case {
    std::optional<SinkFacts> sink;
    std::optional<SourceFacts> source;
    bool microphoneWanted;
    std::string microphone, callAudio;
  } cases[] = {
      {call, mic, true, "mic", "call.monitor"},
      {call, monitor, true, "", "call.monitor"},  // only a monitor left: no microphone
      {feed, mic, true, "mic", ""},               // only the microphone's feed left
      {feed, mic, false, "", "mic_in.monitor"},   // unless the microphone is not recorded
      {std::nullopt, std::nullopt, true, "", ""},
  };
  for (const Case& c : cases) {
    const pulse::DeviceTargets targets = pulse::chooseTargets(c.sink, c.source, c.microphoneWanted);
    EXPECT_EQ(targets.microphone, c.microphone);
    EXPECT_EQ(targets.callAudio, c.callAudio);
  }
  // New defaults and devices that come or go matter; a device's own changes do not.
  EXPECT_TRUE(pulse::changesTargets(
      pa_subscription_event_type_t(PA_SUBSCRIPTION_EVENT_SERVER | PA_SUBSCRIPTION_EVENT_CHANGE)));
  EXPECT_TRUE(pulse::changesTargets(
      pa_subscription_event_type_t(PA_SUBSCRIPTION_EVENT_SINK | PA_SUBSCRIPTION_EVENT_REMOVE)));
  EXPECT_FALSE(pulse::changesTargets(
      pa_subscription_event_type_t(PA_SUBSCRIPTION_EVENT_SOURCE | PA_SUBSCRIPTION_EVENT_CHANGE)));
  // Requests during a round fold into one more round.
  pulse::RoundGate gate;
  EXPECT_TRUE(gate.request());
  EXPECT_FALSE(gate.request());
  EXPECT_FALSE(gate.request());
  EXPECT_TRUE(gate.finish());
  EXPECT_FALSE(gate.finish());
  EXPECT_FALSE(gate.busy());
}

// A server that takes the connection and never answers.
TEST(PulseConnection, AServerThatNeverAnswersFailsTheConnectionInTime) {
  const std::string path = ::testing::TempDir() + "velkin-mute-" + std::to_string(getpid());
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  unlink(path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const auto connection = pulse::PulseConnection::open("test", ("unix:" + path).c_str(), 200'000);
  ASSERT_FALSE(connection);
  EXPECT_EQ(connection.error().message, "The audio server did not answer the connection: Timeout");
  close(listener);
  unlink(path.c_str());
}

#ifndef NDEBUG
struct NoDelegate : StreamDelegate {
  void streamDidStop(CaptureStream&, const Error&) override {}
};

// The stream's completion handlers run on the queue its destructor waits for.
TEST(PulseCaptureStreamDeathTest, DestroyingTheStreamFromItsOwnHandlerIsCaught) {
  EXPECT_DEATH(
      {
        setenv("PULSE_SERVER", "unix:/nonexistent/velkin", 1);
        NoDelegate delegate;
        auto* stream = pulse::makeCaptureStream(StreamConfiguration{}, delegate).release();
        std::promise<void> done;
        stream->startCapture([&](std::optional<Error>) { delete stream; });
        done.get_future().wait();
      },
      "isCurrent");
}
#endif

}  // namespace
}  // namespace velkin
