#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "ScriptedHost.hpp"
#include "capture/CaptureController.hpp"
#include "capture/CaptureError.hpp"

namespace velkin {
namespace {

using scripted::RecordingMediaWriterService;
using scripted::Scenario;
using scripted::ScriptedHost;

// One controller over the scripted host, driven from a main queue that the test
// thread runs, as the process entry does.
class Harness {
 public:
  explicit Harness(Scenario scenario) {
    auto media = std::make_unique<RecordingMediaWriterService>();
    media_ = media.get();
    directory_ =
        std::filesystem::temp_directory_path() /
        ("velkin-controller-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(directory_);
    host_.emplace(std::move(scenario), std::move(media), &runtime_);
    controller_.emplace(*host_, runtime_, directory_,
                        [this](int status) { exits_.push_back(status); });
  }
  ~Harness() {
    controller_.reset();
    std::filesystem::remove_all(directory_);
  }

  // Runs `body` as the main routine: on the main queue, which this thread runs
  // until the body returns.
  void runMain(std::function<asio::awaitable<void>()> body) {
    asio::co_spawn(runtime_.mainExecutor(), body(), [this](std::exception_ptr error) {
      runtime_.stopMain();
      if (error) {
        std::rethrow_exception(error);
      }
    });
    runtime_.runMain();
  }

  asio::awaitable<std::optional<Error>> start() {
    co_return co_await asio::co_spawn(runtime_.workerExecutor(), controller_->start(),
                                      asio::use_awaitable);
  }
  asio::awaitable<void> stop() {
    co_await asio::co_spawn(runtime_.workerExecutor(), controller_->stop(), asio::use_awaitable);
  }

  // Starts and returns the start's error (or none), with stdout captured.
  std::optional<Error> startOnly() {
    std::optional<Error> result;
    runMain([&]() -> asio::awaitable<void> { result = co_await start(); });
    return result;
  }

  ScriptedHost& host() { return *host_; }
  CaptureController& controller() { return *controller_; }
  RecordingMediaWriterService& media() { return *media_; }
  const std::vector<int>& exits() const { return exits_; }
  const std::filesystem::path& directory() const { return directory_; }

 private:
  static inline int counter_ = 0;
  Runtime runtime_;
  RecordingMediaWriterService* media_ = nullptr;
  std::filesystem::path directory_;
  std::optional<ScriptedHost> host_;
  std::optional<CaptureController> controller_;
  std::vector<int> exits_;
};

Error scriptedError(const std::string& message) {
  return Error{"ScriptedHost", 1, message};
}

TEST(CaptureErrorTest, DescriptionIsTheMessageAlone) {
  const std::pair<CaptureErrorCode, const char*> cases[] = {
      {CaptureErrorCode::screenRecordingDenied, "Screen Recording permission denied"},
      {CaptureErrorCode::microphoneDenied, "Microphone permission denied"},
      {CaptureErrorCode::microphoneNotAuthorized, "Microphone permission is not authorized"},
      {CaptureErrorCode::noDisplay, "No display found"},
  };
  for (const auto& [code, message] : cases) {
    const Error error = captureError(code);
    EXPECT_EQ(error.domain, "Velkin");
    EXPECT_EQ(error.code, static_cast<long>(code));
    EXPECT_EQ(error.localizedDescription(), message);
  }
}

struct PermissionCase {
  const char* name;
  Scenario scenario;
  std::optional<std::string> error;  // the start's failure, if any
  std::vector<std::string> calls;    // the permission and activation calls, in order
};

std::vector<PermissionCase> permissionCases() {
  Scenario granted;
  Scenario screenRefused;
  screenRefused.screenPreflight = false;
  screenRefused.screenRequest = false;
  Scenario screenGrantedOnRequest;
  screenGrantedOnRequest.screenPreflight = false;
  Scenario micDenied;
  micDenied.microphoneStatus = AuthorizationStatus::denied;
  Scenario micRestricted;
  micRestricted.microphoneStatus = AuthorizationStatus::restricted;
  Scenario micRefused;
  micRefused.microphoneStatus = AuthorizationStatus::notDetermined;
  micRefused.microphoneRequestGranted = false;
  Scenario micGrantedButNotAuthorized;
  micGrantedButNotAuthorized.microphoneStatus = AuthorizationStatus::notDetermined;
  micGrantedButNotAuthorized.microphoneStatusAfterRequest = AuthorizationStatus::notDetermined;
  Scenario micGranted;
  micGranted.microphoneStatus = AuthorizationStatus::notDetermined;

  const std::vector<std::string> front = {
      "setActivationPolicy(regular)", "activateIgnoringOtherApps", "preflightScreenCaptureAccess"};
  auto with = [&](std::vector<std::string> rest) {
    std::vector<std::string> all = front;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  const std::vector<std::string> passed = {"microphoneAuthorizationStatus",
                                           "microphoneAuthorizationStatus",
                                           "setActivationPolicy(accessory)", "getShareableContent"};
  return {
      {"granted", granted, std::nullopt, with(passed)},
      {"screenRefused", screenRefused, "Screen Recording permission denied",
       with({"requestScreenCaptureAccess"})},
      {"screenGrantedOnRequest", screenGrantedOnRequest, std::nullopt,
       with({"requestScreenCaptureAccess", "microphoneAuthorizationStatus",
             "microphoneAuthorizationStatus", "setActivationPolicy(accessory)",
             "getShareableContent"})},
      {"micDenied", micDenied, "Microphone permission is not authorized",
       with({"microphoneAuthorizationStatus", "microphoneAuthorizationStatus"})},
      {"micRestricted", micRestricted, "Microphone permission is not authorized",
       with({"microphoneAuthorizationStatus", "microphoneAuthorizationStatus"})},
      {"micRefused", micRefused, "Microphone permission denied",
       with({"microphoneAuthorizationStatus", "requestMicrophoneAccess"})},
      {"micGrantedButNotAuthorized", micGrantedButNotAuthorized,
       "Microphone permission is not authorized",
       with({"microphoneAuthorizationStatus", "requestMicrophoneAccess",
             "microphoneAuthorizationStatus"})},
      {"micGranted", micGranted, std::nullopt,
       with({"microphoneAuthorizationStatus", "requestMicrophoneAccess",
             "microphoneAuthorizationStatus", "setActivationPolicy(accessory)",
             "getShareableContent"})},
  };
}

TEST(CaptureControllerTest, PermissionPathsAskInOrderAndFailWithTheirError) {
  for (const PermissionCase& c : permissionCases()) {
    SCOPED_TRACE(c.name);
    Harness harness(c.scenario);
    testing::internal::CaptureStdout();
    const std::optional<Error> error = harness.startOnly();
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.error) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->domain, "Velkin");
      EXPECT_EQ(error->localizedDescription(), *c.error);
      EXPECT_EQ(out, "");
      EXPECT_EQ(harness.host().stream(), nullptr);
    } else {
      EXPECT_FALSE(error.has_value()) << error->localizedDescription();
    }
    std::vector<std::string> calls = harness.host().journal().snapshot();
    calls.resize(std::min(calls.size(), c.calls.size()));
    EXPECT_EQ(calls, c.calls);
    EXPECT_TRUE(harness.host().journal().mainThreadViolations.empty());
  }
}

TEST(CaptureControllerTest, StartConfiguresTheFirstDisplayAndThreeOutputsThenAnnouncesReadiness) {
  Scenario scenario;
  scenario.displays = {Display{2560, 1440}, Display{1280, 720}};
  Harness harness(scenario);
  testing::internal::CaptureStdout();
  ASSERT_FALSE(harness.startOnly().has_value());
  const std::string out = testing::internal::GetCapturedStdout();

  auto& journal = harness.host().journal();
  ASSERT_TRUE(journal.configuration.has_value());
  const StreamConfiguration& config = *journal.configuration;
  EXPECT_EQ(config.width, 2560u);
  EXPECT_EQ(config.height, 1440u);
  EXPECT_EQ(config.minimumFrameInterval, MediaTime::make(1, 1));
  EXPECT_EQ(config.queueDepth, 2);
  EXPECT_FALSE(config.showsCursor);
  EXPECT_TRUE(config.capturesAudio);
  EXPECT_TRUE(config.captureMicrophone);
  EXPECT_EQ(config.sampleRate, 48000);
  EXPECT_EQ(config.channelCount, 2);
  EXPECT_FALSE(config.excludesCurrentProcessAudio);

  const std::vector<std::string> calls = journal.snapshot();
  const std::vector<std::string> tail(calls.end() - 5, calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "makeStream", "addStreamOutput(0, velkin.capture.screen)",
                      "addStreamOutput(1, velkin.capture.audio)",
                      "addStreamOutput(2, velkin.capture.microphone)", "startCapture"}));
  ASSERT_NE(harness.host().stream(), nullptr);
  EXPECT_TRUE(harness.host().stream()->capturing());
  EXPECT_EQ(out, "VELKIN_CAPTURE_READY " + harness.directory().string() + "\n");
}

struct StartFailureCase {
  const char* name;
  Scenario scenario;
  std::string error;
  bool streamMade;
  std::vector<OutputType> outputsAdded;
};

TEST(CaptureControllerTest, StartFailuresPassTheErrorOnAndPrintNoReadiness) {
  Scenario noDisplay;
  noDisplay.displays.clear();
  Scenario contentError;
  contentError.contentError = scriptedError("Connection refused");
  Scenario audioRefused;
  audioRefused.outputError.emplace(OutputType::audio, scriptedError("audio output refused"));
  Scenario startFails;
  startFails.startError = scriptedError("no such device");
  const StartFailureCase cases[] = {
      {"noDisplay", noDisplay, "No display found", false, {}},
      {"contentError", contentError, "Connection refused", false, {}},
      {"audioRefused", audioRefused, "audio output refused", true, {OutputType::screen}},
      {"startFails",
       startFails,
       "no such device",
       true,
       {OutputType::screen, OutputType::audio, OutputType::microphone}},
  };
  for (const StartFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Harness harness(c.scenario);
    testing::internal::CaptureStdout();
    const std::optional<Error> error = harness.startOnly();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription(), c.error);
    EXPECT_EQ(harness.host().journal().outputsAdded, c.outputsAdded);
    const std::vector<std::string> calls = harness.host().journal().snapshot();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "makeStream"), c.streamMade ? 1 : 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "startCapture"),
              c.error == "no such device" ? 1 : 0);
  }
}

// Splits captured standard error into its lines.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    out.push_back(text.substr(begin, end - begin));
    begin = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

TEST(CaptureControllerTest, AnnouncesEachKindOnceInArrivalOrderAndRoutesAudioByKind) {
  Harness harness(Scenario{});
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    scripted::ScriptedStream& stream = *harness.host().stream();
    // A first microphone sample that is not ready is still announced.
    stream.deliver(OutputType::microphone, 0, 960, /*ready=*/false);
    stream.drain();
    stream.deliver(static_cast<OutputType>(5), 0, 960);  // no output: never delivered
    stream.deliver(OutputType::screen, 0, 0);
    stream.drain();
    for (int64_t i = 0; i < 3; ++i) {
      stream.deliver(OutputType::audio, i * 960, 960);
      stream.deliver(OutputType::microphone, i * 960, 960);
      stream.deliver(OutputType::screen, (i + 1) * 48000, 0);
    }
    stream.drain();
    co_await harness.stop();
  });
  (void)testing::internal::GetCapturedStdout();
  EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{"VELKIN_CAPTURE_FIRST_OUTPUT microphone",
                                      "VELKIN_CAPTURE_FIRST_OUTPUT screen",
                                      "VELKIN_CAPTURE_FIRST_OUTPUT audio"}));

  ASSERT_TRUE(harness.controller().waitForPendingFinishes(std::chrono::seconds(5)));
  const auto segments = harness.media().segments();
  ASSERT_EQ(segments.size(), 2u);
  for (const auto& segment : segments) {
    SCOPED_TRACE(segment.url);
    EXPECT_EQ(segment.frames, 3 * 960);  // the unready sample was dropped by the writer
    EXPECT_TRUE(segment.finished);
  }
  std::vector<std::string> names;
  for (const auto& segment : segments) {
    names.push_back(segment.url.filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"candidate-000001.caf", "interviewer-000001.caf"}));
}

TEST(CaptureControllerTest, UnknownKindIsAnnouncedOnceAndDropped) {
  Harness harness(Scenario{});
  // The controller is the output of whatever the host reports; a host that
  // reports a kind it never registered must not reach a writer.
  scripted::ScriptedStream stream(harness.host(), harness.controller());
  testing::internal::CaptureStderr();
  const std::vector<float> data(1920, 0.25f);
  const FormatDescription format(AudioStreamDescription{48000, 2, SampleFormat::float32});
  const SampleBuffer sample(true, MediaTime::make(0, 48000), &format,
                            std::as_bytes(std::span(data)));
  harness.controller().stream(stream, sample, static_cast<OutputType>(5));
  harness.controller().stream(stream, sample, static_cast<OutputType>(7));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "VELKIN_CAPTURE_FIRST_OUTPUT unknown\n");
  EXPECT_TRUE(harness.media().segments().empty());
}

TEST(CaptureControllerTest, StopWithoutStreamStopsTheWritersAndCallsNoStream) {
  Harness harness(Scenario{});
  harness.runMain([&]() -> asio::awaitable<void> { co_await harness.stop(); });
  EXPECT_EQ(harness.host().stream(), nullptr);
  EXPECT_TRUE(harness.host().journal().snapshot().empty());
  EXPECT_TRUE(harness.media().segments().empty());
}

TEST(CaptureControllerTest, StopErrorIsIgnoredAndTheOpenSegmentsStillFinish) {
  Scenario scenario;
  scenario.stopError = scriptedError("already stopped");
  Harness harness(scenario);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    harness.host().stream()->deliver(OutputType::audio, 0, 960);
    co_await harness.stop();
  });
  (void)testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "VELKIN_CAPTURE_FIRST_OUTPUT audio\n");
  ASSERT_TRUE(harness.controller().waitForPendingFinishes(std::chrono::seconds(5)));
  const auto segments = harness.media().segments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].frames, 960);
  EXPECT_TRUE(segments[0].finished);
  EXPECT_TRUE(harness.exits().empty());
}

TEST(CaptureControllerTest, StreamStoppedByItselfReportsOnceFinishesAndExitsWithOne) {
  Harness harness(Scenario{});
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  harness.runMain([&]() -> asio::awaitable<void> {
    EXPECT_FALSE((co_await harness.start()).has_value());
    scripted::ScriptedStream& stream = *harness.host().stream();
    for (int64_t i = 0; i < 5; ++i) {
      stream.deliver(OutputType::audio, i * 960, 960);
      stream.deliver(OutputType::microphone, i * 960, 960);
    }
    stream.fail(Error{"PulseAudio", 6, "Connection terminated"});
    stream.drain();
    co_return;
  });
  (void)testing::internal::GetCapturedStdout();
  // The failure is reported from the host's thread; let it run.
  std::promise<void> done;
  harness.host().hostQueue().async([&done] { done.set_value(); });
  done.get_future().wait();
  const std::vector<std::string> err = lines(testing::internal::GetCapturedStderr());
  EXPECT_EQ(std::count(err.begin(), err.end(),
                       "Velkin capture stopped: Error Domain=PulseAudio Code=6 "
                       "\"Connection terminated\""),
            1);
  EXPECT_EQ(harness.exits(), std::vector<int>{1});
  for (const auto& segment : harness.media().segments()) {
    EXPECT_EQ(segment.frames, 5 * 960);
    EXPECT_TRUE(segment.finished) << "exit came before the last segments were closed";
  }
}

}  // namespace
}  // namespace velkin
