// Real segment files: SegmentWriter on the libsndfile media writer, read back
// with libsndfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "SegmentTestSupport.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentFiles.hpp"
#include "segments/SegmentWriter.hpp"

namespace velkin::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBufferFrames = 960;  // 20 ms

// Overshoots full scale, so clipping happens along the way.
double signal(int64_t frame, int channel) {
  return 1.25 * std::sin(0.05 * static_cast<double>(frame) + channel);
}

// Full scale is 1.0 = 32768, saturated at the 16-bit limits.
int16_t toInt16(double x) {
  return static_cast<int16_t>(std::clamp<double>(std::lrint(x * 32768), -32768, 32767));
}

// Buffer number `index` of the test signal in `format`; appends to `expected`
// the 16-bit value each sample should become.
Audio buffer(SampleFormat format, int64_t index, std::vector<int16_t>& expected) {
  std::vector<float> floats;
  std::vector<int16_t> shorts;
  std::vector<int32_t> ints;
  for (int64_t frame = index * kBufferFrames; frame < (index + 1) * kBufferFrames; ++frame) {
    for (int channel = 0; channel < kChannels; ++channel) {
      const double x = signal(frame, channel);
      floats.push_back(static_cast<float>(x));
      shorts.push_back(toInt16(x));
      ints.push_back(
          static_cast<int32_t>(std::clamp(x * 2147483648.0, -2147483648.0, 2147483647.0)));
      expected.push_back(format == SampleFormat::int32 ? int16_t(ints.back() >> 16)
                                                       : shorts.back());
    }
  }
  Audio audio(format, kChannels, kRate);
  format == SampleFormat::float32 ? audio.set(floats)
  : format == SampleFormat::int16 ? audio.set(shorts)
                                  : audio.set(ints);
  return audio;
}

MediaTime bufferTime(int64_t index) {
  return MediaTime::make(index * kBufferFrames, kRate);
}

struct Caf {
  SF_INFO info{};
  std::vector<int16_t> samples;
};

std::optional<Caf> readCaf(const fs::path& path) {
  Caf caf;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &caf.info);
  if (file == nullptr) {
    return std::nullopt;
  }
  caf.samples.resize(static_cast<std::size_t>(caf.info.frames * caf.info.channels));
  sf_readf_short(file, caf.samples.data(), caf.info.frames);
  sf_close(file);
  return caf;
}

void expectWithinOneLsb(const std::vector<int16_t>& actual, const std::vector<int16_t>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_LE(std::abs(actual[i] - expected[i]), 1) << "sample " << i;
  }
}

struct Fixture {
  ScratchDirectory dir{"velkin-seg"};
  std::unique_ptr<MediaWriterService> media = makeSndfileMediaWriterService();
  std::shared_ptr<FinishTracker> finishes = std::make_shared<FinishTracker>();

  SegmentWriter make(const fs::path& directory) {
    return SegmentWriter("interviewer", directory, *media, finishes);
  }
  fs::path segment(int number) const { return dir / segmentFileName("interviewer", number); }
};

TEST(SegmentFiles, SegmentsHoldEveryFrameAs16BitLittleEndianCaf) {
  for (SampleFormat format : {SampleFormat::float32, SampleFormat::int16, SampleFormat::int32}) {
    SCOPED_TRACE(static_cast<int>(format));
    Fixture f;
    SegmentWriter writer = f.make(f.dir.path());
    std::vector<int16_t> expected;
    for (int64_t i = 0; i < 300; ++i) {  // 6 s: a 5 s segment, then 1 s cut by stop
      writer.append(buffer(format, i, expected).sample(bufferTime(i)));
    }
    writer.stop();
    ASSERT_TRUE(f.finishes->waitUntilIdle(10s));

    const std::vector<sf_count_t> frames = {250 * kBufferFrames, 50 * kBufferFrames};
    std::vector<int16_t> stored;
    for (int n = 1; n <= 2; ++n) {
      const std::optional<Caf> caf = readCaf(f.segment(n));
      ASSERT_TRUE(caf) << sf_strerror(nullptr);
      EXPECT_EQ(caf->info.format, SF_FORMAT_CAF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE);
      EXPECT_EQ(caf->info.samplerate, kRate);
      EXPECT_EQ(caf->info.channels, kChannels);
      EXPECT_EQ(caf->info.frames, frames[n - 1]);
      stored.insert(stored.end(), caf->samples.begin(), caf->samples.end());
      EXPECT_EQ(fs::status(f.segment(n)).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_TRUE(fs::exists(readyMarkerPath(f.segment(n))));
      EXPECT_EQ(fs::file_size(readyMarkerPath(f.segment(n))), 0u);
    }
    expectWithinOneLsb(stored, expected);
  }
}

TEST(SegmentFiles, OutOfRangeSamplesClipInsteadOfWrapping) {
  Fixture f;
  SegmentWriter writer = f.make(f.dir.path());
  Audio floats(SampleFormat::float32, 1, kRate);
  const float nan = std::nanf("");
  floats.set(std::vector<float>{1.5f, -1.5f, 1e9f, -1e9f, 1.0f, -1.0f, 0.5f, nan,  //
                                1.5f, -1.5f, nan, 0.25f});
  Audio ints(SampleFormat::int32, 1, kRate);
  ints.set(std::vector<int32_t>{INT32_MAX, INT32_MIN, 0x7FFF8000, -1});
  writer.append(floats.sample(bufferTime(0)));
  writer.stop();
  writer.append(ints.sample(bufferTime(1)));
  writer.stop();
  ASSERT_TRUE(f.finishes->waitUntilIdle(10s));

  EXPECT_EQ(readCaf(f.segment(1))->samples,
            (std::vector<int16_t>{32767, -32768, 32767, -32768, 32767, -32768, 16384, 0,  //
                                  32767, -32768, 0, 8192}));
  EXPECT_EQ(readCaf(f.segment(2))->samples, (std::vector<int16_t>{32767, -32768, 32767, -1}));
}

// A directory below a regular file, and a read-only mount (root writes into any
// directory it may enter, but not there): one line for the whole outage.
TEST(SegmentFiles, UnwritableDirectoryReportsTheReasonOnce) {
  Fixture f;
  const fs::path readOnly = f.dir / "read-only";
  const fs::path plain = f.dir / "plain";
  writeFile(plain, "");
  fs::create_directory(readOnly);
  const bool mounted = ::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
  struct Unmount {
    const fs::path& path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{readOnly};
  for (const auto& [directory, code, reason] :
       {std::tuple(plain, 20, "Not a directory"),
        std::tuple(readOnly, 30, "Read-only file system")}) {
    SCOPED_TRACE(reason);
    if (code == 30 && !mounted) {
      GTEST_SKIP() << "cannot mount a read-only tmpfs";
    }
    SegmentWriter writer = f.make(directory);
    std::vector<int16_t> expected;
    ::testing::internal::CaptureStderr();
    for (int64_t i = 0; i < 100; ++i) {  // 2 s: two attempts
      writer.append(buffer(SampleFormat::float32, i, expected).sample(bufferTime(i)));
    }
    const fs::path failed =
        directory / (code == 30 ? "interviewer-000001.caf.ready" : "interviewer-000001.caf");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Velkin writer error: Error Domain=POSIX Code=" + std::to_string(code) + " \"" +
                  failed.string() + ": " + reason + "\"\n");
    EXPECT_EQ(writer.counter(), 2);
  }
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
    std::vector<int16_t> expected;
    writer.append(buffer(SampleFormat::int16, 0, expected).sample(bufferTime(0)));
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

// The media writer on its own.

struct Backend {
  ScratchDirectory dir{"velkin-seg"};
  std::unique_ptr<MediaWriterService> media = makeSndfileMediaWriterService();
  Audio audio{SampleFormat::float32, kChannels, kRate};
  int made = 0;

  AudioOutputSettings settings() const {
    AudioOutputSettings s;
    s.sampleRate = kRate;
    s.numberOfChannels = kChannels;
    return s;
  }
  std::shared_ptr<MediaWriter> writer() {
    // Built by appending: g++ 12 at -O3 warns falsely about "literal" + string.
    std::string name = "w";
    name += std::to_string(++made);
    name += ".caf";
    auto result = media->makeWriter(dir / name, MediaFileType::coreAudioFormat);
    EXPECT_TRUE(result.ok());
    return result.ok() ? result.value() : nullptr;
  }
  // A writer that has started, with its input.
  std::pair<std::shared_ptr<MediaWriter>, std::shared_ptr<MediaWriterInput>> started() {
    auto w = writer();
    auto input = media->makeAudioInput(settings(), &audio.format());
    w->addInput(input);
    EXPECT_TRUE(w->startWriting());
    return {w, input};
  }
};

TEST(SndfileMediaWriter, AcceptsOnlyInputsItCanStoreWithoutResampling) {
  Backend b;
  const Audio mono(SampleFormat::float32, 1, kRate);
  const Audio slower(SampleFormat::float32, kChannels, 44100);
  const Audio unknownLayout(static_cast<SampleFormat>(7), kChannels, kRate);
  struct Case {
    const char* name;
    std::function<void(AudioOutputSettings&)> change;
    const FormatDescription* hint;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"16-bit lpcm as delivered", [](auto&) {}, &b.audio.format(), true},
      {"other format", [](auto& s) { s.formatID = 0x61616320; }, &b.audio.format(), false},
      {"float", [](auto& s) { s.linearPCMIsFloat = true; }, &b.audio.format(), false},
      {"too many channels", [](auto& s) { s.numberOfChannels = 5000; }, &b.audio.format(), false},
      {"no hint", [](auto&) {}, nullptr, false},
      {"hint of another rate", [](auto&) {}, &slower.format(), false},
      {"hint of other channels", [](auto&) {}, &mono.format(), false},
      {"hint of unknown layout", [](auto&) {}, &unknownLayout.format(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioOutputSettings settings = b.settings();
    c.change(settings);
    auto writer = b.writer();
    EXPECT_EQ(writer->canAddInput(*b.media->makeAudioInput(settings, c.hint)), c.accepted);
  }
  auto [writer, input] = b.started();
  EXPECT_FALSE(writer->canAddInput(*b.media->makeAudioInput(b.settings(), &b.audio.format())));
}

TEST(SndfileMediaWriter, NeverOpensAnExistingNameOrFollowsALink) {
  Backend b;
  writeFile(b.dir / "taken.caf", "keep");
  fs::create_symlink(b.dir / "taken.caf", b.dir / "link.caf");
  for (const char* name : {"taken.caf", "link.caf"}) {
    auto result = b.media->makeWriter(b.dir / name, MediaFileType::coreAudioFormat);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, EEXIST);
  }
  EXPECT_EQ(fs::file_size(b.dir / "taken.caf"), 4u);
}

// While it lives, files of this process cannot grow past `bytes`: writes beyond
// fail as they would on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : previous_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int);
};

// libsndfile closes the descriptor of a failed open itself. A writer that then
// closed it again could shut the file that had the number by then: the other
// track's next segment, opened on another thread.
TEST(SndfileMediaWriter, AFailedStartClosesOnlyItsOwnDescriptor) {
  Backend b;
  auto writer = b.writer();
  writer->addInput(b.media->makeAudioInput(b.settings(), &b.audio.format()));
  {
    const FileSizeLimit limit(0);  // no room even for the header
    EXPECT_FALSE(writer->startWriting());
  }
  EXPECT_EQ(writer->status(), MediaWriterStatus::failed);
  const int other = ::open((b.dir / "other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(other, 0);
  writer.reset();
  EXPECT_NE(::fcntl(other, F_GETFD), -1)
      << "the failed writer closed descriptor " << other << ", which another file had by then";
  ::close(other);
}

TEST(SndfileMediaWriter, FinishCompletesOnItsOwnThreadAndAfterTheServiceOnTheCallers) {
  Backend b;
  auto [writer, input] = b.started();
  auto [late, lateInput] = b.started();
  ASSERT_TRUE(input->append(b.audio.sample(at(0))));
  input->markAsFinished();
  EXPECT_FALSE(input->isReadyForMoreMediaData());

  std::promise<std::pair<std::thread::id, MediaWriterStatus>> finished;
  writer->finishWriting([&, w = writer.get()] {  // on the finishing thread
    finished.set_value({std::this_thread::get_id(), w->status()});
  });
  std::future<std::pair<std::thread::id, MediaWriterStatus>> result = finished.get_future();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  const auto [finishedOn, seen] = result.get();
  EXPECT_NE(finishedOn, std::this_thread::get_id());
  EXPECT_EQ(seen, MediaWriterStatus::completed);
  EXPECT_EQ(readCaf(writer->outputURL())->info.frames, 1);
  b.media.reset();

  // A writer that outlives its service still finishes, once.
  int lateCalls = 0;
  late->finishWriting([&] { ++lateCalls; });  // on this thread: no finishing thread is left
  EXPECT_EQ(lateCalls, 1);
  EXPECT_EQ(late->status(), MediaWriterStatus::completed);
}

TEST(SndfileMediaWriter, SampleOfAnotherLayoutFailsTheWriterRatherThanBeingMisread) {
  Backend b;
  auto [writer, input] = b.started();
  const Audio ints(SampleFormat::int16, kChannels, kRate);
  EXPECT_FALSE(input->append(ints.sample(at(0))));
  EXPECT_EQ(writer->status(), MediaWriterStatus::failed);
}

}  // namespace
}  // namespace velkin::test
