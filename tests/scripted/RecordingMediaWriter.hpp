#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/MediaWriter.hpp"

namespace velkin::scripted {

// What reached one segment of the recording media writer.
struct RecordedSegment {
  std::filesystem::path url;
  AudioOutputSettings settings;
  AudioStreamDescription source;  // the input's format hint
  std::optional<MediaTime> sessionStart;
  std::vector<MediaTime> times;  // of the appended samples
  int64_t frames = 0;
  int finishCalls = 0;
  MediaWriterStatus status = MediaWriterStatus::unknown;
  std::optional<Error> error;
  MediaWriter::Completion pending;  // a held finish, until the test completes it
};

// How the recording media writer fails. Set by the test before the writers
// run, or from the one thread that drives them.
struct WriterFaults {
  std::optional<Error> makeError;  // makeWriter fails with it
  bool canAdd = true;
  bool starts = true;  // false: startWriting fails without an error
  // A full disk: writers fail to start and appends fail, both with this error.
  std::optional<Error> full;
  // Finishes wait for complete() instead of ending on a thread of their own.
  bool holdFinishes = false;
  // Runs in makeWriter, before anything is made.
  std::function<void(const std::filesystem::path&)> onMakeWriter;
};

// A media writer that keeps no file: it records what reached each segment, and
// fails as its faults say.
class RecordingMediaWriterService final : public MediaWriterService {
 public:
  RecordingMediaWriterService();
  ~RecordingMediaWriterService() override;

  Result<std::shared_ptr<MediaWriter>> makeWriter(const std::filesystem::path& url,
                                                  MediaFileType type) override;
  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override;

  WriterFaults& faults();
  std::vector<RecordedSegment> segments();
  // Ends segment `index`'s held finish with `status`, on the calling thread.
  void complete(std::size_t index, MediaWriterStatus status);
  // Ends every held finish: a failed writer's as failed, the others as completed.
  void completeAll();

  struct State;

 private:
  std::shared_ptr<State> state_;
  SerialQueue finisher_{"velkin.scripted.finish", QualityOfService::utility};
};

}  // namespace velkin::scripted
