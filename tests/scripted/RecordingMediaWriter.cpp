#include "RecordingMediaWriter.hpp"

#include <mutex>
#include <utility>

namespace velkin::scripted {

struct RecordingMediaWriterService::State {
  WriterFaults faults;
  std::mutex lock;  // guards segments
  std::vector<RecordedSegment> segments;

  template <typename Change>
  auto change(std::size_t index, Change change) {
    std::lock_guard guard(lock);
    return change(segments.at(index));
  }
};

namespace {

using State = RecordingMediaWriterService::State;

class RecordingInput final : public MediaWriterInput {
 public:
  RecordingInput(std::shared_ptr<State> state, AudioOutputSettings settings,
                 AudioStreamDescription source)
      : state(std::move(state)), settings(settings), source(source) {}
  void setExpectsMediaDataInRealTime(bool) override {}
  bool isReadyForMoreMediaData() const override { return !finished; }
  bool append(const SampleBuffer& sample) override {
    return state->change(index, [&](RecordedSegment& segment) {
      if (state->faults.full) {
        segment.status = MediaWriterStatus::failed;
        segment.error = state->faults.full;
        return false;
      }
      segment.times.push_back(sample.presentationTimeStamp());
      segment.frames += sample.frameCount();
      return true;
    });
  }
  void markAsFinished() override { finished = true; }

  std::shared_ptr<State> state;
  AudioOutputSettings settings;
  AudioStreamDescription source;
  std::size_t index = 0;
  bool finished = false;
};

class RecordingWriter final : public MediaWriter {
 public:
  RecordingWriter(std::shared_ptr<State> state, std::size_t index, std::filesystem::path url,
                  SerialQueue& finisher)
      : state_(std::move(state)), index_(index), url_(std::move(url)), finisher_(finisher) {}

  bool canAddInput(const MediaWriterInput&) const override { return state_->faults.canAdd; }
  void addInput(std::shared_ptr<MediaWriterInput> added) override {
    auto input = std::static_pointer_cast<RecordingInput>(added);
    input->index = index_;
    state_->change(index_, [&](RecordedSegment& segment) {
      segment.settings = input->settings;
      segment.source = input->source;
    });
  }
  bool startWriting() override {
    const WriterFaults& faults = state_->faults;
    const bool starts = faults.starts && !faults.full;
    state_->change(index_, [&](RecordedSegment& segment) {
      segment.status = starts ? MediaWriterStatus::writing : MediaWriterStatus::failed;
      segment.error = faults.full;
    });
    return starts;
  }
  void startSessionAtSourceTime(MediaTime time) override {
    state_->change(index_, [&](RecordedSegment& segment) { segment.sessionStart = time; });
  }
  // Completes on the finisher's thread, like a real writer closing its file,
  // unless the test holds finishes.
  void finishWriting(Completion handler) override {
    const bool held = state_->change(index_, [&](RecordedSegment& segment) {
      ++segment.finishCalls;
      if (state_->faults.holdFinishes) {
        segment.pending = std::move(handler);
      }
      return state_->faults.holdFinishes;
    });
    if (!held) {
      finisher_.async([this, handler = std::move(handler)] {
        state_->change(index_, [](RecordedSegment& segment) {
          segment.status = MediaWriterStatus::completed;
        });
        handler();
      });
    }
  }
  MediaWriterStatus status() const override {
    return state_->change(index_, [](RecordedSegment& segment) { return segment.status; });
  }
  std::optional<Error> error() const override {
    return state_->change(index_, [](RecordedSegment& segment) { return segment.error; });
  }
  const std::filesystem::path& outputURL() const override { return url_; }

 private:
  std::shared_ptr<State> state_;
  std::size_t index_;
  std::filesystem::path url_;
  SerialQueue& finisher_;
};

}  // namespace

RecordingMediaWriterService::RecordingMediaWriterService() : state_(std::make_shared<State>()) {}

// Held finishes hold their writers; dropped so that nothing is leaked.
RecordingMediaWriterService::~RecordingMediaWriterService() {
  std::lock_guard guard(state_->lock);
  for (RecordedSegment& segment : state_->segments) {
    segment.pending = nullptr;
  }
}

Result<std::shared_ptr<MediaWriter>> RecordingMediaWriterService::makeWriter(
    const std::filesystem::path& url, MediaFileType) {
  if (state_->faults.onMakeWriter) {
    state_->faults.onMakeWriter(url);
  }
  if (state_->faults.makeError) {
    return *state_->faults.makeError;
  }
  std::lock_guard guard(state_->lock);
  state_->segments.emplace_back().url = url;
  return std::shared_ptr<MediaWriter>(
      std::make_shared<RecordingWriter>(state_, state_->segments.size() - 1, url, finisher_));
}

std::shared_ptr<MediaWriterInput> RecordingMediaWriterService::makeAudioInput(
    const AudioOutputSettings& settings, const FormatDescription* hint) {
  const AudioStreamDescription* source = hint ? hint->streamBasicDescription() : nullptr;
  return std::make_shared<RecordingInput>(state_, settings,
                                          source ? *source : AudioStreamDescription{});
}

WriterFaults& RecordingMediaWriterService::faults() {
  return state_->faults;
}

std::vector<RecordedSegment> RecordingMediaWriterService::segments() {
  std::lock_guard guard(state_->lock);
  return state_->segments;
}

void RecordingMediaWriterService::complete(std::size_t index, MediaWriterStatus status) {
  const MediaWriter::Completion handler = state_->change(index, [&](RecordedSegment& segment) {
    segment.status = status;
    return std::exchange(segment.pending, nullptr);
  });
  handler();
}

void RecordingMediaWriterService::completeAll() {
  const std::vector<RecordedSegment> all = segments();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].pending) {
      complete(i, all[i].status == MediaWriterStatus::failed ? MediaWriterStatus::failed
                                                             : MediaWriterStatus::completed);
    }
  }
}

}  // namespace velkin::scripted
