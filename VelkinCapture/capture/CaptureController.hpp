#pragma once

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "capture/EchoStage.hpp"
#include "platform/Capture.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Host.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentWriter.hpp"

namespace velkin {

// Owns the capture: the stream, its three delivery queues and the two segment
// writers ("interviewer" for what the computer plays, "candidate" for the
// microphone). One per process.
class CaptureController final : public StreamOutput, public StreamDelegate {
 public:
  // Ends the process with a status; replaced in tests.
  using ProcessExit = std::function<void(int status)>;

  // The segments go into `directory`, held open by the caller since the start.
  CaptureController(Host& host, Runtime& runtime, Directory directory, ProcessExit onExit = {});
  // Opens (and creates) `directory` itself; one that cannot be opened fails
  // every segment.
  CaptureController(Host& host, Runtime& runtime, const std::filesystem::path& directory,
                    ProcessExit onExit = {});
  ~CaptureController() override;
  CaptureController(const CaptureController&) = delete;
  CaptureController& operator=(const CaptureController&) = delete;

  // Before start(): the candidate track is written with the far end's echo
  // taken out, when the host can make a canceller.
  void cancelEcho(bool on) { cancelEcho_ = on; }

  // Runs on the worker pool (hopping to the main thread for activation). Returns
  // once the stream is capturing and the readiness line is out, or the error.
  asio::awaitable<std::optional<Error>> start();
  // Runs on the worker pool. Stops the stream, then hands each writer's open
  // segment to its finish, on that writer's own queue. Never fails.
  asio::awaitable<void> stop();

  // Whether start() has reached the readiness line; true from just before the
  // line goes out. Any thread.
  bool hasAnnounced() const { return announced_.load(); }

  // Blocks until every segment finish started so far has completed, or `timeout`.
  bool waitForPendingFinishes(std::chrono::milliseconds timeout);

  // StreamOutput: runs on the delivery queue of `type`.
  void stream(CaptureStream& stream, const SampleBuffer& sample, OutputType type) override;
  // StreamDelegate: runs on a thread of the capture service's choosing.
  void streamDidStop(CaptureStream& stream, const Error& error) override;

  static const char* kindName(OutputType type);

  // How long a stream that stopped by itself gives its last segments to be
  // closed and marked before the process exits.
  static constexpr std::chrono::seconds kFinishGrace{2};
  // How long the candidate's audio waits for the interviewer's of the same
  // stretch before it is cancelled against silence instead: what a stalled
  // call audio costs.
  static constexpr std::chrono::milliseconds kEchoWait{200};

 private:
  void foregroundForPermission();  // main thread
  void returnToAccessoryMode();    // main thread
  asio::awaitable<std::optional<Error>> checkPermissions();
  asio::awaitable<void> stopWriters();
  // Microphone queue: the candidate's audio on its way to the writer.
  void toCandidate(const SampleBuffer& sample);
  // Microphone queue: after the echo stage took audio; wakes the queue when
  // held audio stops waiting.
  void afterEchoStage();
  // The candidate's writer's last stop, after whatever the echo stage holds.
  void stopCandidate();
  // Waits for each writer's stop no later than `deadline`.
  void stopWritersFromHostThread(std::chrono::steady_clock::time_point deadline);

  Host& host_;
  Runtime& runtime_;
  const Directory directory_;
  ProcessExit exitProcess_;
  const std::shared_ptr<FinishTracker> finishes_ = std::make_shared<FinishTracker>();
  SegmentWriter interviewer_;  // used on audioQueue_ only
  SegmentWriter candidate_;    // used on microphoneQueue_ only
  bool cancelEcho_ = false;    // set before start
  // Set by start() before capture begins; its near end on microphoneQueue_ only,
  // its far end from audioQueue_ (see EchoStage). Null without cancelling.
  std::unique_ptr<EchoStage> echo_;
  // Made by start() with echo_, on microphoneQueue_'s executor; used, and
  // destroyed by the destructor, on that queue only.
  std::optional<asio::steady_timer> echoTimer_;
  std::optional<int64_t> echoTimerDue_;  // microphoneQueue_ only
  SerialQueue audioQueue_;
  SerialQueue microphoneQueue_;
  SerialQueue screenQueue_;
  // Written once by start() before capture begins, read by stop() afterwards.
  std::unique_ptr<CaptureStream> stream_;
  std::atomic<bool> announced_{false};  // set once, by start()
  std::mutex observedOutputsLock_;      // guards observedOutputs_
  std::set<std::string> observedOutputs_;
};

}  // namespace velkin
