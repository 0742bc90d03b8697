#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Directory.hpp"
#include "platform/Error.hpp"
#include "platform/Media.hpp"
#include "platform/Result.hpp"

namespace velkin {

inline constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'

enum class MediaFileType { coreAudioFormat };

enum class MediaWriterStatus : int {
  unknown = 0,
  writing = 1,
  completed = 2,
  failed = 3,
  cancelled = 4,
};

// What a writer input stores, whatever its samples carry.
struct AudioOutputSettings {
  uint32_t formatID = kAudioFormatLinearPCM;
  double sampleRate = 0;
  int64_t numberOfChannels = 0;
  int64_t linearPCMBitDepth = 16;
  bool linearPCMIsFloat = false;
  bool linearPCMIsBigEndian = false;
  bool linearPCMIsNonInterleaved = false;
};

// One audio track of a media file. Used from one thread at a time.
class MediaWriterInput {
 public:
  virtual ~MediaWriterInput() = default;

  virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
  virtual bool isReadyForMoreMediaData() const = 0;
  // Converts the sample to the output settings and stores it. False when it
  // could not; the writer then turns failed and says why in `error()`.
  virtual bool append(const SampleBuffer& sample) = 0;
  virtual void markAsFinished() = 0;
};

// One media file being written. Used from one thread at a time until
// `finishWriting`; after that only `status`, `error` and `outputURL` are read.
class MediaWriter {
 public:
  using Completion = std::function<void()>;

  virtual ~MediaWriter() = default;

  virtual bool canAddInput(const MediaWriterInput& input) const = 0;
  virtual void addInput(std::shared_ptr<MediaWriterInput> input) = 0;
  // False on failure; `error()` may then hold the cause.
  virtual bool startWriting() = 0;
  virtual void startSessionAtSourceTime(MediaTime time) = 0;
  // Closes the file off the caller's thread. `handler` is called once, on a
  // thread of the writer's choosing, after the file is closed or writing failed.
  virtual void finishWriting(Completion handler) = 0;

  virtual MediaWriterStatus status() const = 0;
  virtual std::optional<Error> error() const = 0;
  virtual const std::filesystem::path& outputURL() const = 0;
};

// The host's media file writer.
class MediaWriterService {
 public:
  virtual ~MediaWriterService() = default;

  // A new file `name` in `directory`; its `outputURL` is the directory's path
  // joined with the name. The caller clears the name first.
  virtual Result<std::shared_ptr<MediaWriter>> makeWriter(const Directory& directory,
                                                          const std::string& name,
                                                          MediaFileType type) = 0;
  // `sourceFormatHint` describes the samples the input will receive; may be null.
  virtual std::shared_ptr<MediaWriterInput> makeAudioInput(
      const AudioOutputSettings& settings, const FormatDescription* sourceFormatHint) = 0;
};

}  // namespace velkin
