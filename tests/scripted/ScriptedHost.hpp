#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/Host.hpp"

namespace velkin::scripted {

// What the scripted host answers and delivers. Every field has the answer of a
// healthy desktop by default.
struct Scenario {
  bool screenPreflight = true;
  bool screenRequest = true;
  AuthorizationStatus microphoneStatus = AuthorizationStatus::authorized;
  bool microphoneRequestGranted = true;
  // The status after a request; absent: authorized when granted, else denied.
  std::optional<AuthorizationStatus> microphoneStatusAfterRequest;

  std::optional<Error> contentError;
  std::vector<Display> displays{Display{1920, 1080}};
  std::optional<std::pair<OutputType, Error>> outputError;
  std::optional<Error> startError;
  std::optional<Error> stopError;
  // startCapture completes only once an entry exists at this path.
  std::optional<std::filesystem::path> startGate;

  // Delivered after the start completes, as fast as the queues take them, with
  // presentation times counted in frames from 0: 20 ms buffers of 48 kHz stereo
  // float.
  double audioSeconds = 0;
  double microphoneSeconds = 0;
  // Once everything is delivered, the stream fails with this error.
  std::optional<Error> failAfterDelivery;
  // The media writer's finishes never end, as on a disk that stalls: their
  // completions block the finishing thread for good.
  bool stallFinishes = false;
  // Echo cancellers cannot be made, for this reason.
  std::optional<Error> echoCancellerError;

  // Parses ";"-separated or line-separated "key=value" pairs. Unknown keys are errors.
  static Result<Scenario> parse(std::string_view text);
};

class ScriptedStream;

// The host of tests: answers from a scenario, calls its handlers from a thread
// of its own, and delivers samples with explicit presentation times, never
// paced by a clock. It records every call the agent makes of it.
class ScriptedHost final : public Host,
                           PermissionService,
                           ApplicationService,
                           CaptureService,
                           EchoCancellerService {
 public:
  // `media` is the media writer to use. Application calls are checked to run on the
  // main thread of `runtime`, if given.
  ScriptedHost(Scenario scenario, std::unique_ptr<MediaWriterService> media,
               const Runtime* runtime = nullptr);
  ~ScriptedHost() override;

  PermissionService& permissions() override { return *this; }
  ApplicationService& application() override { return *this; }
  CaptureService& capture() override { return *this; }
  MediaWriterService& mediaWriter() override { return *media_; }
  EchoCancellerService& echoCanceller() override { return *this; }

  // Every call so far, in order; one made off the main thread that should not
  // have been says so.
  std::vector<std::string> calls();
  std::optional<StreamConfiguration> configuration();
  // The last stream made, if any; owned by the agent.
  ScriptedStream* stream() { return stream_.load(); }
  SerialQueue& hostQueue() { return hostQueue_; }

 private:
  friend class ScriptedStream;
  void record(std::string call, bool onMainThreadOnly = false);

  bool preflightScreenCaptureAccess() override {
    record("preflightScreenCaptureAccess");
    return scenario_.screenPreflight;
  }
  bool requestScreenCaptureAccess() override {
    record("requestScreenCaptureAccess");
    return scenario_.screenRequest;
  }
  AuthorizationStatus microphoneAuthorizationStatus() override;
  void requestMicrophoneAccess(std::function<void(bool)> handler) override;
  bool setActivationPolicy(ActivationPolicy policy) override {
    record(policy == ActivationPolicy::regular ? "setActivationPolicy(regular)"
                                               : "setActivationPolicy(accessory)",
           true);
    return true;
  }
  void activateIgnoringOtherApps(bool) override { record("activateIgnoringOtherApps", true); }
  void getShareableContent(bool, bool, ContentHandler handler) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter&,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;
  // Its cancellers hand back the far end they were given in place of the near
  // end, so that a track shows which far-end audio met which near-end frame.
  Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller(int sampleRate, uint32_t nearChannels,
                                                           uint32_t farChannels) override;

  const Scenario scenario_;
  std::unique_ptr<MediaWriterService> media_;
  const Runtime* runtime_;
  std::atomic<bool> microphoneRequested_{false};
  std::mutex lock_;  // guards the two records below
  std::vector<std::string> calls_;
  std::optional<StreamConfiguration> configuration_;
  std::atomic<ScriptedStream*> stream_{nullptr};
  SerialQueue hostQueue_{"velkin.scripted.host", QualityOfService::userInitiated};
};

class ScriptedStream final : public CaptureStream {
 public:
  ScriptedStream(ScriptedHost& host, StreamDelegate& delegate);
  ~ScriptedStream() override;

  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type,
                                       SerialQueue& queue) override;
  void startCapture(Completion handler) override;
  void stopCapture(Completion handler) override;

  // Delivers one sample of `type` on its queue: `frames` frames of 48 kHz
  // stereo float at `pts` frames (timescale 48000), or a screen frame without
  // audio. `type` may be any value; one without an output is dropped, as the
  // host would.
  void deliver(OutputType type, int64_t pts, int64_t frames, bool ready = true);
  // Blocks until every queue has run what was delivered so far.
  void drain();

  bool capturing() const { return capturing_.load(); }

 private:
  void deliverScenario();

  ScriptedHost& host_;
  StreamDelegate& delegate_;
  std::map<OutputType, std::pair<StreamOutput*, SerialQueue*>> outputs_;  // set before start
  std::atomic<bool> capturing_{false};
};

}  // namespace velkin::scripted
