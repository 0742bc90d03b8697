#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

#include "AgentProcess.hpp"
#include "ScriptedHost.hpp"
#include "Segments.hpp"
#include "capture/CaptureController.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"

namespace velkin {
namespace {

using scripted::Scenario;
using scripted::ScriptedHost;
using scripted::ScriptedStream;

// The frames of each segment file by name; -1 for one not marked.
std::map<std::string, int64_t> finishedFrames(const std::filesystem::path& directory) {
  std::map<std::string, int64_t> frames;
  for (const char* label : {"interviewer", "candidate"}) {
    for (const testing::Segment& segment : testing::readSegments(directory, label)) {
      frames[segment.path.filename().string()] = segment.marked ? segment.frames : -1;
    }
  }
  return frames;
}

// One controller over the scripted host, driven from a main queue that the test
// thread runs, as the process entry does.
struct Harness {
  explicit Harness(Scenario scenario)
      : host(std::move(scenario), makeSndfileMediaWriterService(), &runtime),
        controller(host, runtime, directory.path(), [this](int status) {
          exits.push_back(status);
          framesAtExit = finishedFrames(directory.path());
        }) {}

  // Runs `body` as the main routine: on the main queue, which this thread runs
  // until the body returns.
  void runMain(std::function<asio::awaitable<void>()> body) {
    asio::co_spawn(runtime.mainExecutor(), body(), [this](std::exception_ptr error) {
      runtime.stopMain();
      if (error) {
        std::rethrow_exception(error);
      }
    });
    runtime.runMain();
  }
  asio::awaitable<std::optional<Error>> start() {
    co_return co_await asio::co_spawn(runtime.workerExecutor(), controller.start(),
                                      asio::use_awaitable);
  }
  asio::awaitable<void> stop() {
    co_await asio::co_spawn(runtime.workerExecutor(), controller.stop(), asio::use_awaitable);
  }

  testing::ScratchDirectory directory{"velkin-controller"};
  Runtime runtime;
  ScriptedHost host;
  std::vector<int> exits;
  std::map<std::string, int64_t> framesAtExit;
  CaptureController controller;
};

// The start as the host sees it: every call, in order, and how it ends.
struct StartCase {
  const char* name;
  Scenario scenario;
  std::optional<std::string> error;  // the start's failure, fully described, if any
  std::vector<std::string> calls;    // every host call, in order
};

std::vector<StartCase> startCases() {
  Scenario granted;
  granted.displays = {Display{2560, 1440}, Display{1280, 720}};
  std::vector<Scenario> s(12, granted);
  s[1].screenPreflight = false;
  s[1].screenRequest = false;
  s[2].screenPreflight = false;
  s[3].microphoneStatus = AuthorizationStatus::denied;
  s[4].microphoneStatus = AuthorizationStatus::restricted;
  s[5].microphoneStatus = AuthorizationStatus::notDetermined;
  s[5].microphoneRequestGranted = false;
  s[6].microphoneStatus = AuthorizationStatus::notDetermined;
  s[6].microphoneStatusAfterRequest = AuthorizationStatus::notDetermined;
  s[7].microphoneStatus = AuthorizationStatus::notDetermined;
  s[8].displays.clear();
  s[9].contentError = Error{"ScriptedHost", 1, "Connection refused"};
  s[10].outputError.emplace(OutputType::audio, Error{"ScriptedHost", 2, "audio output refused"});
  s[11].startError = Error{"ScriptedHost", 3, "no such device"};

  const std::vector<std::string> ask = {"setActivationPolicy(regular)", "activateIgnoringOtherApps",
                                        "preflightScreenCaptureAccess"};
  const std::vector<std::string> mic = {"microphoneAuthorizationStatus",
                                        "microphoneAuthorizationStatus"};
  const std::vector<std::string> micAsked = {
      "microphoneAuthorizationStatus", "requestMicrophoneAccess", "microphoneAuthorizationStatus"};
  const std::vector<std::string> content = {"setActivationPolicy(accessory)",
                                            "getShareableContent"};
  const std::vector<std::string> stream = {
      "makeStream", "addStreamOutput(0, velkin.capture.screen)",
      "addStreamOutput(1, velkin.capture.audio)", "addStreamOutput(2, velkin.capture.microphone)",
      "startCapture"};
  auto calls = [](std::initializer_list<std::vector<std::string>> parts, size_t drop = 0) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
      all.insert(all.end(), part.begin(), part.end());
    }
    all.resize(all.size() - drop);
    return all;
  };
  auto velkin = [](int code, const std::string& message) {
    return "Error Domain=Velkin Code=" + std::to_string(code) + " \"" + message + "\"";
  };
  const std::string notAuthorized = velkin(3, "Microphone permission is not authorized");
  return {
      {"granted", s[0], std::nullopt, calls({ask, mic, content, stream})},
      {"screenRefused", s[1], velkin(1, "Screen Recording permission denied"),
       calls({ask, {"requestScreenCaptureAccess"}})},
      {"screenGrantedOnRequest", s[2], std::nullopt,
       calls({ask, {"requestScreenCaptureAccess"}, mic, content, stream})},
      {"micDenied", s[3], notAuthorized, calls({ask, mic})},
      {"micRestricted", s[4], notAuthorized, calls({ask, mic})},
      {"micRefused", s[5], velkin(2, "Microphone permission denied"), calls({ask, micAsked}, 1)},
      {"micGrantedButNotAuthorized", s[6], notAuthorized, calls({ask, micAsked})},
      {"micGranted", s[7], std::nullopt, calls({ask, micAsked, content, stream})},
      {"noDisplay", s[8], velkin(4, "No display found"), calls({ask, mic, content})},
      {"contentError", s[9], "Error Domain=ScriptedHost Code=1 \"Connection refused\"",
       calls({ask, mic, content})},
      {"audioRefused", s[10], "Error Domain=ScriptedHost Code=2 \"audio output refused\"",
       calls({ask, mic, content, stream}, 2)},
      {"startFails", s[11], "Error Domain=ScriptedHost Code=3 \"no such device\"",
       calls({ask, mic, content, stream})},
  };
}

TEST(CaptureControllerTest, StartAsksInOrderConfiguresTheFirstDisplayOrFailsWithItsError) {
  for (const StartCase& c : startCases()) {
    SCOPED_TRACE(c.name);
    Harness harness(c.scenario);
    ::testing::internal::CaptureStdout();
    std::optional<Error> error;
    harness.runMain([&]() -> asio::awaitable<void> { error = co_await harness.start(); });
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(harness.host.calls(), c.calls);
    ScriptedStream* stream = harness.host.stream();
    if (c.error) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->description(), *c.error);
      EXPECT_EQ(out, "");
      EXPECT_TRUE(stream == nullptr || !stream->capturing());
      continue;
    }
    EXPECT_FALSE(error.has_value()) << error->description();
    EXPECT_EQ(out, "VELKIN_CAPTURE_READY " + harness.directory.path().string() + "\n");
    ASSERT_TRUE(stream != nullptr && stream->capturing());
    const StreamConfiguration k = harness.host.configuration().value();
    EXPECT_EQ(
        std::tie(k.width, k.height, k.queueDepth, k.showsCursor, k.capturesAudio,
                 k.captureMicrophone, k.sampleRate, k.channelCount, k.excludesCurrentProcessAudio),
        std::make_tuple(2560u, 1440u, 2, false, true, true, 48000, 2, false));
    EXPECT_EQ(k.minimumFrameInterval, MediaTime::make(1, 1));
  }
}

// A stop the host refuses changes nothing: the open segments still finish.
TEST(CaptureControllerTest, AnnouncesEachKindOnceInArrivalOrderAndRoutesAudioByKindAlone) {
  Scenario scenario;
  scenario.stopError = Error{"ScriptedHost", 1, "already stopped"};
  Harness harness(scenario);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    scripted::ScriptedStream& stream = *harness.host.stream();
    // A first microphone sample that is not ready is still announced.
    stream.deliver(OutputType::microphone, 0, 960, /*ready=*/false);
    stream.drain();
    stream.deliver(OutputType::screen, 0, 0);
    stream.drain();
    // A kind the host never registered is named once and reaches no writer.
    const std::vector<float> data(1920, 0.25f);
    const FormatDescription format(AudioStreamDescription{48000, 2, SampleFormat::float32});
    const SampleBuffer sample(true, MediaTime::make(0, 48000), &format,
                              std::as_bytes(std::span(data)));
    harness.controller.stream(stream, sample, static_cast<OutputType>(5));
    harness.controller.stream(stream, sample, static_cast<OutputType>(7));
    // Buffers of a length of their own per track, so that crossed routes show.
    for (int64_t i = 0; i < 3; ++i) {
      stream.deliver(OutputType::audio, i * 960, 960);
      stream.deliver(OutputType::microphone, i * 480, 480);
      stream.deliver(OutputType::screen, (i + 1) * 48000, 0);
    }
    stream.drain();
    co_await harness.stop();
  });
  (void)::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "VELKIN_CAPTURE_FIRST_OUTPUT microphone\nVELKIN_CAPTURE_FIRST_OUTPUT screen\n"
            "VELKIN_CAPTURE_FIRST_OUTPUT unknown\nVELKIN_CAPTURE_FIRST_OUTPUT audio\n");
  ASSERT_TRUE(harness.controller.waitForPendingFinishes(std::chrono::seconds(5)));
  // The unready sample was dropped by the writer.
  EXPECT_EQ(finishedFrames(harness.directory.path()),
            (std::map<std::string, int64_t>{{"candidate-000001.caf", 3 * 480},
                                            {"interviewer-000001.caf", 3 * 960}}));
  EXPECT_TRUE(harness.exits.empty());
}

// With echo cancelling, the candidate's audio goes through the canceller beside
// the interviewer's of the same stretch, up to its last frame at the stop: the
// scripted canceller hands back the far end, so the two tracks' files match.
TEST(CaptureControllerTest, CancellingPairsEachCandidateFrameWithTheInterviewersOfTheSameStretch) {
  Harness harness(Scenario{});
  harness.controller.cancelEcho(true);
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    ScriptedStream& stream = *harness.host.stream();
    for (int64_t i = 0; i < 290; ++i) {  // 5.8 s; the microphone leads by 100 ms
      stream.deliver(OutputType::microphone, i * 960, 960);
      if (i >= 5) {
        stream.deliver(OutputType::audio, (i - 5) * 960, 960);
      }
      stream.drain();  // as a real host delivers: in step with the call
    }
    co_await harness.stop();
  });
  ASSERT_TRUE(harness.controller.waitForPendingFinishes(std::chrono::seconds(10)));
  const auto calls = harness.host.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "makeEchoCanceller 48000 2 2"), 1);
  const auto interviewer = testing::readSegments(harness.directory.path(), "interviewer");
  const auto candidate = testing::readSegments(harness.directory.path(), "candidate");
  ASSERT_EQ(candidate.size(), 2u);
  ASSERT_EQ(interviewer.size(), 2u);
  EXPECT_EQ(candidate[0].frames, 240000);
  EXPECT_EQ(candidate[0].left, interviewer[0].left);
  EXPECT_EQ(candidate[0].right, interviewer[0].right);
  // The last 100 ms had no interviewer audio: cancelled against silence.
  ASSERT_EQ(candidate[1].frames, 290 * 960 - 240000);
  EXPECT_EQ(std::vector<float>(candidate[1].left.begin(), candidate[1].left.end() - 4800),
            interviewer[1].left);
  EXPECT_EQ(std::vector<float>(candidate[1].left.end() - 4800, candidate[1].left.end()),
            std::vector<float>(4800, 0.0f));
}

// How many descriptors and threads this process holds.
std::pair<int64_t, int64_t> held() {
  auto count = [](const char* directory) {
    const std::filesystem::directory_iterator entries(directory);
    return std::distance(begin(entries), end(entries));
  };
  return {count("/proc/self/fd"), count("/proc/self/task")};
}

// Hours of a call are a benchmark (bench/LongCallBench.cpp); a few segments
// through the real file writer show whether anything is kept per segment.
TEST(CaptureControllerTest, NothingIsHeldPerSegment) {
  Harness harness(Scenario{});
  const auto before = held();
  std::vector<std::pair<int64_t, int64_t>> midSegment;
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    ScriptedStream& stream = *harness.host.stream();
    for (int64_t i = 0; i < 6 * 250; ++i) {  // six segments of 20 ms buffers
      stream.deliver(OutputType::audio, i * 960, 960);
      stream.deliver(OutputType::microphone, i * 960, 960);
      if (i % 250 == 125) {
        stream.drain();
        EXPECT_TRUE(harness.controller.waitForPendingFinishes(std::chrono::seconds(10)));
        midSegment.push_back(held());
      }
    }
    co_await harness.stop();
  });
  ASSERT_TRUE(harness.controller.waitForPendingFinishes(std::chrono::seconds(10)));
  EXPECT_EQ(held(), before);
  ASSERT_EQ(midSegment.size(), 6u);
  for (std::size_t i = 2; i < midSegment.size(); ++i) {
    EXPECT_EQ(midSegment[i], midSegment[1]) << "in segment " << i + 1;
  }
}

TEST(CaptureControllerTest, StopWithoutStreamStopsTheWritersAndCallsNoStream) {
  Harness harness(Scenario{});
  harness.runMain([&]() -> asio::awaitable<void> { co_await harness.stop(); });
  EXPECT_EQ(harness.host.stream(), nullptr);
  EXPECT_TRUE(harness.host.calls().empty());
  EXPECT_TRUE(std::filesystem::is_empty(harness.directory.path()));
}

TEST(CaptureControllerTest, StreamStoppedByItselfReportsOnceFinishesAndExitsWithOne) {
  Scenario scenario;
  scenario.audioSeconds = scenario.microphoneSeconds = 0.1;
  scenario.failAfterDelivery = Error{"PulseAudio", 6, "Connection terminated"};
  Harness harness(scenario);
  ::testing::internal::CaptureStderr();
  harness.runMain(
      [&]() -> asio::awaitable<void> { EXPECT_FALSE((co_await harness.start()).has_value()); });
  // The failure is reported from the host's thread; let it run.
  std::promise<void> done;
  harness.host.hostQueue().async([&done] { done.set_value(); });
  done.get_future().wait();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string stopped =
      "Velkin capture stopped: Error Domain=PulseAudio Code=6 \"Connection terminated\"\n";
  EXPECT_NE(err.find(stopped), std::string::npos) << err;
  EXPECT_EQ(err.find(stopped), err.rfind(stopped));
  EXPECT_EQ(harness.exits, std::vector<int>{1});
  // Finished before the exit was asked for.
  EXPECT_EQ(harness.framesAtExit,
            (std::map<std::string, int64_t>{{"candidate-000001.caf", 5 * 960},
                                            {"interviewer-000001.caf", 5 * 960}}));
}

}  // namespace
}  // namespace velkin
