// Real segment files: SegmentWriter on the libsndfile media writer, read back
// with libsndfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <future>
#include <thread>

#include "SegmentTestSupport.hpp"
#include "Segments.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentFiles.hpp"
#include "segments/SegmentWriter.hpp"

namespace velkin::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kRate = 48000;
constexpr int kBufferFrames = 960;  // 20 ms

// What frame `frame` of `channel` should be stored as: every 16-bit value
// comes up, the limits included.
int16_t stored(int64_t frame, int channel) {
  return static_cast<int16_t>((frame * 7 + channel * 1000) % 65536 - 32768);
}

// Buffer number `index` of stereo audio in `format` that stores as stored().
// The int32 samples carry low bits that a rounding conversion would carry up,
// past the limit at the top.
Audio buffer(SampleFormat format, int64_t index) {
  std::vector<float> floats;
  std::vector<int16_t> shorts;
  std::vector<int32_t> ints;
  for (int64_t frame = index * kBufferFrames; frame < (index + 1) * kBufferFrames; ++frame) {
    for (int channel = 0; channel < 2; ++channel) {
      shorts.push_back(stored(frame, channel));
      floats.push_back(static_cast<float>(shorts.back()) / 32768.0f);
      ints.push_back(int32_t{shorts.back()} * 65536 + 0xABCD);
    }
  }
  Audio audio(format, 2, kRate);
  format == SampleFormat::float32 ? audio.set(floats)
  : format == SampleFormat::int16 ? audio.set(shorts)
                                  : audio.set(ints);
  return audio;
}

MediaTime bufferTime(int64_t index) {
  return MediaTime::make(index * kBufferFrames, kRate);
}

struct Fixture {
  ScratchDirectory dir{"velkin-seg"};
  std::unique_ptr<MediaWriterService> media = makeSndfileMediaWriterService();
  std::shared_ptr<FinishTracker> finishes = std::make_shared<FinishTracker>();
  Audio audio{SampleFormat::float32, 2, kRate};
  int made = 0;

  SegmentWriter make(const fs::path& directory) {
    return SegmentWriter("interviewer", opened(directory), *media, finishes);
  }

  // The media writer on its own: a writer with its input, of `audio`.
  std::pair<std::shared_ptr<MediaWriter>, std::shared_ptr<MediaWriterInput>> prepared() {
    // Built by appending: g++ 12 at -O3 warns falsely about "literal" + string.
    std::string name = "w";
    name += std::to_string(++made);
    std::shared_ptr<MediaWriter> writer =
        media->makeWriter(opened(dir.path()), name, MediaFileType::coreAudioFormat).value();
    AudioOutputSettings settings;
    settings.sampleRate = kRate;
    settings.numberOfChannels = 2;
    auto input = media->makeAudioInput(settings, &audio.format());
    writer->addInput(input);
    return {writer, input};
  }
  auto started() {
    auto prepared = this->prepared();
    EXPECT_TRUE(prepared.first->startWriting());
    return prepared;
  }
};

TEST(SegmentFiles, SegmentsHoldEveryFrameAs16BitLittleEndianCaf) {
  for (SampleFormat format : {SampleFormat::float32, SampleFormat::int16, SampleFormat::int32}) {
    SCOPED_TRACE(static_cast<int>(format));
    Fixture f;
    SegmentWriter writer = f.make(f.dir.path());
    for (int64_t i = 0; i < 300; ++i) {  // 6 s: a 5 s segment, then 1 s cut by stop
      writer.append(buffer(format, i).sample(bufferTime(i)));
    }
    writer.stop();
    ASSERT_TRUE(f.finishes->waitUntilIdle(10s));

    const std::vector<testing::Segment> segments =
        testing::readSegments(f.dir.path(), "interviewer");
    ASSERT_EQ(segments.size(), 2u);
    for (const testing::Segment& segment : segments) {
      EXPECT_TRUE(segment.valid && segment.marked);
      EXPECT_EQ(fs::file_size(readyMarkerPath(segment.path)), 0u);
      EXPECT_EQ(fs::status(segment.path).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(segments[0].frames, 250 * kBufferFrames);
    EXPECT_EQ(segments[1].frames, 50 * kBufferFrames);
    int64_t frame = 0;
    for (const testing::Segment& segment : segments) {
      for (std::size_t i = 0; i < segment.left.size(); ++i, ++frame) {
        ASSERT_EQ(std::lrint(segment.left[i] * 32768), stored(frame, 0)) << "frame " << frame;
        ASSERT_EQ(std::lrint(segment.right[i] * 32768), stored(frame, 1)) << "frame " << frame;
      }
    }
    EXPECT_EQ(frame, 300 * kBufferFrames);
  }
}

TEST(SegmentFiles, OutOfRangeAndNaNFloatsClipOrGoSilentInsteadOfWrapping) {
  Fixture f;
  SegmentWriter writer = f.make(f.dir.path());
  Audio floats(SampleFormat::float32, 2, kRate);
  const float nan = std::nanf("");
  floats.set(std::vector<float>{1.5f, -1.5f, 1e9f, -1e9f, 1.0f, -1.0f, 0.5f, nan, 0.25f, -0.25f});
  writer.append(floats.sample(bufferTime(0)));
  writer.stop();
  ASSERT_TRUE(f.finishes->waitUntilIdle(10s));
  const testing::Segment segment = testing::readSegment(f.dir / "interviewer-000001.caf");
  std::vector<long> values;
  for (std::size_t i = 0; i < segment.left.size(); ++i) {
    values.push_back(std::lrint(segment.left[i] * 32768));
    values.push_back(std::lrint(segment.right[i] * 32768));
  }
  EXPECT_EQ(values, (std::vector<long>{32767, -32768, 32767, -32768, 32767, -32768, 16384, 0, 8192,
                                       -8192}));
}

// What stands at a marker's name when the segment is done is replaced, never
// written through: a hard link's target keeps its contents, a FIFO blocks nothing.
TEST(SegmentFiles, AMarkerReplacesWhatWasPlantedAtItsName) {
  Fixture f;
  const fs::path victim = f.dir / "victim";
  writeFile(victim, "keep");
  const std::vector<std::function<void(const fs::path&)>> plants = {
      [&](const fs::path& marker) { fs::create_hard_link(victim, marker); },
      [](const fs::path& marker) { ASSERT_EQ(::mkfifo(marker.c_str(), 0600), 0); },
  };
  for (std::size_t p = 0; p < plants.size(); ++p) {
    SCOPED_TRACE(p);
    SegmentWriter writer = f.make(f.dir.path());
    writer.append(buffer(SampleFormat::int16, 0).sample(bufferTime(0)));
    const fs::path marker =
        readyMarkerPath(f.dir / segmentFileName("interviewer", writer.counter()));
    plants[p](marker);
    writer.stop();
    ASSERT_TRUE(f.finishes->waitUntilIdle(10s));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(marker)));
    EXPECT_EQ(fs::file_size(marker), 0u);
    EXPECT_EQ(fs::hard_link_count(marker), 1u);
    EXPECT_EQ(readFile(victim), "keep");
    fs::remove(marker);
    fs::remove(f.dir / segmentFileName("interviewer", writer.counter()));
  }
}

TEST(SndfileMediaWriter, NeverOpensAnExistingNameOrFollowsALink) {
  Fixture b;
  writeFile(b.dir / "taken.caf", "keep");
  fs::create_symlink(b.dir / "taken.caf", b.dir / "link.caf");
  for (const char* name : {"taken.caf", "link.caf"}) {
    auto result = b.media->makeWriter(opened(b.dir.path()), name, MediaFileType::coreAudioFormat);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, EEXIST);
  }
  EXPECT_EQ(fs::file_size(b.dir / "taken.caf"), 4u);
}

// libsndfile closes the descriptor of a failed open itself. A writer that then
// closed it again could shut the file that had the number by then: the other
// track's next segment, opened on another thread.
TEST(SndfileMediaWriter, AFailedStartClosesOnlyItsOwnDescriptor) {
  Fixture b;
  auto [writer, input] = b.prepared();
  // Files of this process cannot grow at all for the start, as on a full disk:
  // no room even for the header.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit none{0, saved.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &none);
  EXPECT_FALSE(writer->startWriting());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(writer->status(), MediaWriterStatus::failed);
  const int other = ::open((b.dir / "other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(other, 0);
  writer.reset();
  EXPECT_NE(::fcntl(other, F_GETFD), -1)
      << "the failed writer closed descriptor " << other << ", which another file had by then";
  ::close(other);
}

TEST(SndfileMediaWriter, FinishCompletesOnItsOwnThreadAndAfterTheServiceOnTheCallers) {
  Fixture b;
  auto [writer, input] = b.started();
  auto [late, lateInput] = b.started();
  ASSERT_TRUE(input->append(b.audio.sample(at(0))));
  input->markAsFinished();
  EXPECT_FALSE(input->isReadyForMoreMediaData());

  std::promise<bool> finished;  // whether on another thread, and with the file complete
  writer->finishWriting([&, w = writer.get(), caller = std::this_thread::get_id()] {
    finished.set_value(std::this_thread::get_id() != caller &&
                       w->status() == MediaWriterStatus::completed);
  });
  std::future<bool> result = finished.get_future();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_EQ(testing::readSegment(writer->outputURL()).frames, 1);
  b.media.reset();

  // A writer that outlives its service still finishes, once.
  int lateCalls = 0;
  late->finishWriting([&] { ++lateCalls; });  // on this thread: no finishing thread is left
  EXPECT_EQ(lateCalls, 1);
  EXPECT_EQ(late->status(), MediaWriterStatus::completed);
}

TEST(SndfileMediaWriter, SampleOfAnotherLayoutFailsTheWriterRatherThanBeingMisread) {
  Fixture b;
  auto [writer, input] = b.started();
  const Audio ints(SampleFormat::int16, 2, kRate);
  EXPECT_FALSE(input->append(ints.sample(at(0))));
  EXPECT_EQ(writer->status(), MediaWriterStatus::failed);
}

}  // namespace
}  // namespace velkin::test
