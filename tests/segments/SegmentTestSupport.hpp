#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "AgentProcess.hpp"
#include "platform/Media.hpp"
#include "platform/MediaWriter.hpp"

namespace velkin {

// Lets failed comparisons show times readably.
inline void PrintTo(const MediaTime& time, std::ostream* out) {
  *out << time.value << "/" << time.timescale << (time.isValid() ? "" : " (invalid)");
}

}  // namespace velkin

namespace velkin::test {

// A fresh directory under the temporary directory, removed with its contents.
struct TempDir : testing::ScratchDirectory {
  TempDir() : ScratchDirectory("velkin-seg") {}
  std::filesystem::path operator/(const std::string& name) const { return path() / name; }
};

using testing::readFile;

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// Seconds as a millisecond MediaTime; NaN gives an invalid time.
inline MediaTime at(double seconds) {
  return std::isnan(seconds) ? MediaTime::invalid()
                             : MediaTime::make(std::llround(seconds * 1000), 1000);
}

// Interleaved audio of one layout; the samples handed out borrow its bytes.
class Audio {
 public:
  explicit Audio(SampleFormat format = SampleFormat::float32, uint32_t channels = 2,
                 double rate = 48000)
      : format_(AudioStreamDescription{rate, channels, format}), bytes_(frameBytes()) {}

  template <typename T>
  void set(const std::vector<T>& values) {
    const auto* first = reinterpret_cast<const std::byte*>(values.data());
    bytes_.assign(first, first + values.size() * sizeof(T));
  }

  SampleBuffer sample(MediaTime pts, bool ready = true) const {
    return SampleBuffer(ready, pts, &format_, bytes_);
  }
  const FormatDescription& format() const { return format_; }

 private:
  std::size_t frameBytes() const { return format_.streamBasicDescription()->bytesPerFrame(); }

  FormatDescription format_;
  std::vector<std::byte> bytes_;
};

// A media writer that does what it is told and records what it was asked. While
// `full` holds, as on a full disk, writers fail to start and appends fail.
struct FakeDisk {
  bool full = false;
  Error error{"POSIX", 28, "No space left on device"};
};

class FakeWriter;

class FakeInput final : public MediaWriterInput {
 public:
  FakeInput(AudioOutputSettings settings, std::shared_ptr<FakeDisk> disk)
      : settings(settings), disk_(std::move(disk)) {}
  void setExpectsMediaDataInRealTime(bool) override {}
  bool isReadyForMoreMediaData() const override { return true; }
  bool append(const SampleBuffer& sample) override;
  void markAsFinished() override { finished = true; }

  const AudioOutputSettings settings;
  FakeWriter* writer = nullptr;
  bool finished = false;
  std::vector<MediaTime> appended;

 private:
  std::shared_ptr<FakeDisk> disk_;
};

class FakeWriter final : public MediaWriter {
 public:
  bool canAddInput(const MediaWriterInput&) const override { return canAdd; }
  void addInput(std::shared_ptr<MediaWriterInput> added) override {
    input = std::static_pointer_cast<FakeInput>(std::move(added));
    input->writer = this;
  }
  bool startWriting() override {
    if (disk && disk->full) {
      starts = false;
      startError = disk->error;
    }
    status_ = starts ? MediaWriterStatus::writing : MediaWriterStatus::failed;
    return starts;
  }
  void startSessionAtSourceTime(MediaTime time) override { sessionStart = time; }
  void finishWriting(Completion handler) override {
    ++finishCalls;
    pending = std::move(handler);
  }
  MediaWriterStatus status() const override { return status_; }
  std::optional<Error> error() const override { return startError; }
  const std::filesystem::path& outputURL() const override { return url; }

  void turnFailed(Error error) {
    status_ = MediaWriterStatus::failed;
    startError = error;
  }
  // Ends the finish with `status`, running its handler on the calling (test) thread.
  void complete(MediaWriterStatus status) {
    status_ = status;
    std::exchange(pending, nullptr)();
  }

  std::filesystem::path url;
  std::shared_ptr<FakeDisk> disk;
  bool canAdd = true;
  bool starts = true;
  std::optional<Error> startError;
  std::shared_ptr<FakeInput> input;
  std::optional<MediaTime> sessionStart;
  int finishCalls = 0;
  Completion pending;

 private:
  MediaWriterStatus status_ = MediaWriterStatus::unknown;
};

inline bool FakeInput::append(const SampleBuffer& sample) {
  if (disk_->full) {
    writer->turnFailed(disk_->error);
    return false;
  }
  appended.push_back(sample.presentationTimeStamp());
  return true;
}

class FakeService final : public MediaWriterService {
 public:
  // Pending handlers hold their writer; drop them so nothing is leaked.
  ~FakeService() override {
    for (auto& writer : writers) {
      writer->pending = nullptr;
    }
  }

  Result<std::shared_ptr<MediaWriter>> makeWriter(const std::filesystem::path& url,
                                                  MediaFileType) override {
    if (onMakeWriter) {
      onMakeWriter(url);
    }
    if (makeError) {
      return *makeError;
    }
    auto writer = std::make_shared<FakeWriter>();
    writer->url = url;
    writer->disk = disk;
    writer->canAdd = canAdd;
    writer->starts = starts;
    writer->startError = startError;
    writers.push_back(writer);
    return std::shared_ptr<MediaWriter>(writer);
  }

  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override {
    hints.push_back(hint && hint->streamBasicDescription() ? *hint->streamBasicDescription()
                                                           : AudioStreamDescription{});
    return std::make_shared<FakeInput>(settings, disk);
  }

  // Completes every pending finish: failed ones as failed, the others as completed.
  void completeAll() {
    for (auto& writer : writers) {
      if (writer->pending) {
        writer->complete(writer->status() == MediaWriterStatus::failed
                             ? MediaWriterStatus::failed
                             : MediaWriterStatus::completed);
      }
    }
  }

  std::shared_ptr<FakeDisk> disk = std::make_shared<FakeDisk>();
  std::optional<Error> makeError;
  bool canAdd = true;
  bool starts = true;
  std::optional<Error> startError;
  // Runs on the thread of the append that opens a segment, before the file is made.
  std::function<void(const std::filesystem::path&)> onMakeWriter;
  std::vector<std::shared_ptr<FakeWriter>> writers;
  std::vector<AudioStreamDescription> hints;  // the source format of each input
};

}  // namespace velkin::test
