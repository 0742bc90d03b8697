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
  // float, and one screen frame a second.
  double audioSeconds = 0;
  double microphoneSeconds = 0;
  int screenFrames = 0;
  // Once everything is delivered, the stream fails with this error.
  std::optional<Error> failAfterDelivery;
  // The media writer's finishes never end, as on a disk that stalls: their
  // completions are never called.
  bool stallFinishes = false;

  // Parses "key=value" lines (or ";"-separated pairs). Unknown keys are errors.
  static Result<Scenario> parse(std::string_view text);
};

// A record of what the agent asked of the host, for tests to check.
struct Journal {
  std::mutex lock;  // guards everything below
  std::vector<std::string> calls;
  std::vector<std::string> mainThreadViolations;
  std::optional<StreamConfiguration> configuration;
  std::vector<OutputType> outputsAdded;

  void record(std::string call);
  std::vector<std::string> snapshot();
};

class ScriptedStream;

// The host of tests: answers from a scenario, calls its handlers from a thread
// of its own, and delivers samples with explicit presentation times, never
// paced by a clock.
class ScriptedHost final : public Host {
 public:
  // `media` is the media writer to use: a real one for process tests, a
  // recording one for unit tests.
  ScriptedHost(Scenario scenario, std::unique_ptr<MediaWriterService> media,
               const Runtime* runtime = nullptr);
  ~ScriptedHost() override;

  PermissionService& permissions() override;
  ApplicationService& application() override;
  CaptureService& capture() override;
  MediaWriterService& mediaWriter() override { return *media_; }

  Journal& journal() { return journal_; }
  Scenario& scenario() { return scenario_; }
  // The last stream made, if any; owned by the agent.
  ScriptedStream* stream() { return stream_.load(); }
  SerialQueue& hostQueue() { return hostQueue_; }
  const Runtime* runtime() const { return runtime_; }

 private:
  friend class ScriptedStream;
  class Permissions;
  class Application;
  class Capture;

  Scenario scenario_;
  std::unique_ptr<MediaWriterService> media_;
  const Runtime* runtime_;
  Journal journal_;
  std::atomic<ScriptedStream*> stream_{nullptr};
  std::unique_ptr<Permissions> permissions_;
  std::unique_ptr<Application> application_;
  std::unique_ptr<Capture> capture_;
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
  // stereo float at `pts` frames (timescale 48000). `type` may be any value;
  // one without an output is dropped, as the host would.
  void deliver(OutputType type, int64_t pts, int64_t frames, bool ready = true,
               bool withFormat = true);
  // Blocks until every queue has run what was delivered so far.
  void drain();
  // Reports the stream as stopped by itself, from the host's thread.
  void fail(Error error);

  bool capturing() const { return capturing_.load(); }

 private:
  void deliverScenario();

  ScriptedHost& host_;
  StreamDelegate& delegate_;
  std::map<OutputType, std::pair<StreamOutput*, SerialQueue*>> outputs_;  // set before start
  std::atomic<bool> capturing_{false};
};

// A media writer that keeps no file: it records what reached each segment.
struct RecordedSegment {
  std::filesystem::path url;
  MediaTime sessionStart;
  int64_t frames = 0;
  std::vector<int64_t> sampleTimes;  // pts values, in frames
  bool finished = false;
};

class RecordingMediaWriterService final : public MediaWriterService {
 public:
  Result<std::shared_ptr<MediaWriter>> makeWriter(const std::filesystem::path& url,
                                                  MediaFileType type) override;
  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override;

  std::vector<RecordedSegment> segments();

  struct State {
    std::mutex lock;  // guards segments
    std::vector<RecordedSegment> segments;
  };

 private:
  std::shared_ptr<State> state_ = std::make_shared<State>();
  SerialQueue finisher_{"velkin.scripted.finish", QualityOfService::utility};
};

}  // namespace velkin::scripted
