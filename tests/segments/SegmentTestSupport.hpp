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

using testing::readFile;
using testing::ScratchDirectory;

inline Directory opened(const std::filesystem::path& path) {
  return Directory::open(path).value();
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// Seconds as a time of timescale 44100, a rate no writer assumes; NaN gives an
// invalid time.
inline MediaTime at(double seconds) {
  return std::isnan(seconds) ? MediaTime::invalid()
                             : MediaTime::make(std::llround(seconds * 44100), 44100);
}

// Interleaved audio of one layout; the samples handed out borrow its bytes.
class Audio {
 public:
  explicit Audio(SampleFormat format = SampleFormat::float32, uint32_t channels = 2,
                 double rate = 48000)
      : format_(AudioStreamDescription{rate, channels, format}),
        bytes_(format_.streamBasicDescription()->bytesPerFrame()) {}

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
  FormatDescription format_;
  std::vector<std::byte> bytes_;
};

// What reached one segment of the fake media writer.
struct RecordedSegment {
  std::filesystem::path url;
  AudioOutputSettings settings;
  AudioStreamDescription source;  // the input's format hint
  std::optional<MediaTime> sessionStart;
  std::vector<MediaTime> times;  // of the appended samples
  int finishCalls = 0;
  MediaWriterStatus status = MediaWriterStatus::unknown;
  std::optional<Error> error;
  MediaWriter::Completion pending;  // its finish, until the test completes it
};

// A media writer that keeps no file, used from the test's thread alone: it
// records what reached each segment, fails as it is told, and leaves every
// finish to the test.
class FakeMedia final : public MediaWriterService {
 public:
  ~FakeMedia() override {
    for (RecordedSegment& segment : segments) {
      segment.pending = nullptr;  // it holds its writer
    }
  }
  Result<std::shared_ptr<MediaWriter>> makeWriter(const Directory& directory,
                                                  const std::string& name, MediaFileType) override;
  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override;

  // Ends segment `index`'s finish with `status`.
  void complete(std::size_t index, MediaWriterStatus status) {
    segments.at(index).status = status;
    std::exchange(segments.at(index).pending, nullptr)();
  }
  // Ends every pending finish: a failed writer's as failed, the others as completed.
  void completeAll() {
    for (std::size_t i = 0; i < segments.size(); ++i) {
      if (segments[i].pending) {
        complete(i, segments[i].status == MediaWriterStatus::failed ? MediaWriterStatus::failed
                                                                    : MediaWriterStatus::completed);
      }
    }
  }

  std::optional<Error> makeError;  // makeWriter fails with it
  bool canAdd = true;
  bool starts = true;  // false: startWriting fails without an error
  // A full disk: writers fail to start and appends fail, both with this error.
  std::optional<Error> full;
  // Runs in makeWriter, before anything is made.
  std::function<void(const std::filesystem::path&)> onMakeWriter;
  std::vector<RecordedSegment> segments;
};

class FakeInput final : public MediaWriterInput {
 public:
  FakeInput(FakeMedia& media, AudioOutputSettings settings, AudioStreamDescription source)
      : media(media), settings(settings), source(source) {}
  void setExpectsMediaDataInRealTime(bool) override {}
  bool isReadyForMoreMediaData() const override { return true; }
  bool append(const SampleBuffer& sample) override {
    RecordedSegment& segment = media.segments.at(index);
    if (media.full) {
      segment.status = MediaWriterStatus::failed;
      segment.error = media.full;
      return false;
    }
    segment.times.push_back(sample.presentationTimeStamp());
    return true;
  }
  void markAsFinished() override {}

  FakeMedia& media;
  const AudioOutputSettings settings;
  const AudioStreamDescription source;
  std::size_t index = 0;
};

class FakeWriter final : public MediaWriter {
 public:
  FakeWriter(FakeMedia& media, std::size_t index, std::filesystem::path url)
      : media_(media), index_(index), url_(std::move(url)) {}
  bool canAddInput(const MediaWriterInput&) const override { return media_.canAdd; }
  void addInput(std::shared_ptr<MediaWriterInput> added) override {
    auto& input = static_cast<FakeInput&>(*added);
    input.index = index_;
    segment().settings = input.settings;
    segment().source = input.source;
  }
  bool startWriting() override {
    const bool starts = media_.starts && !media_.full;
    segment().status = starts ? MediaWriterStatus::writing : MediaWriterStatus::failed;
    segment().error = media_.full;
    return starts;
  }
  void startSessionAtSourceTime(MediaTime time) override { segment().sessionStart = time; }
  void finishWriting(Completion handler) override {
    ++segment().finishCalls;
    segment().pending = std::move(handler);
  }
  MediaWriterStatus status() const override { return segment().status; }
  std::optional<Error> error() const override { return segment().error; }
  const std::filesystem::path& outputURL() const override { return url_; }

 private:
  RecordedSegment& segment() const { return media_.segments.at(index_); }

  FakeMedia& media_;
  const std::size_t index_;
  const std::filesystem::path url_;
};

inline Result<std::shared_ptr<MediaWriter>> FakeMedia::makeWriter(const Directory& directory,
                                                                  const std::string& name,
                                                                  MediaFileType) {
  const std::filesystem::path url = directory.pathOf(name);
  if (onMakeWriter) {
    onMakeWriter(url);
  }
  if (makeError) {
    return *makeError;
  }
  segments.emplace_back().url = url;
  return std::shared_ptr<MediaWriter>(
      std::make_shared<FakeWriter>(*this, segments.size() - 1, url));
}

inline std::shared_ptr<MediaWriterInput> FakeMedia::makeAudioInput(
    const AudioOutputSettings& settings, const FormatDescription* hint) {
  const AudioStreamDescription* source = hint ? hint->streamBasicDescription() : nullptr;
  return std::make_shared<FakeInput>(*this, settings, source ? *source : AudioStreamDescription{});
}

}  // namespace velkin::test
