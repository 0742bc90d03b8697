#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "platform/Dispatch.hpp"
#include "platform/Error.hpp"
#include "platform/Media.hpp"

namespace velkin {
namespace {

TEST(MediaTimeTest, SubtractionAndSecondsFollowTheTimescales) {
  struct Case {
    MediaTime a, b;
    double seconds;
  };
  const Case cases[] = {
      {MediaTime::make(15 * 48000, 48000), MediaTime::make(10 * 48000, 48000), 5.0},
      {MediaTime::make(10, 48000), MediaTime::make(20, 48000), -10.0 / 48000},
      // Different timescales meet on a common one, exactly.
      {MediaTime::make(3, 2), MediaTime::make(44100, 44100), 0.5},
      {MediaTime::make(480000, 48000), MediaTime::make(441000, 44100), 0.0},
      // Huge values do not overflow on the way.
      {MediaTime::make(INT64_MAX / 2, 1000000000),
       MediaTime::make(INT64_MAX / 2 - 500000000, 1000000000), 0.5},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ((c.a - c.b).seconds(), c.seconds) << c.a.value << "/" << c.a.timescale;
  }
}

TEST(MediaTimeTest, InvalidAndUnequalEpochsGiveNotANumber) {
  const MediaTime valid = MediaTime::make(1, 1);
  EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
  EXPECT_TRUE(std::isnan((valid - MediaTime::invalid()).seconds()));
  EXPECT_TRUE(std::isnan((MediaTime::invalid() - valid).seconds()));
  EXPECT_FALSE(MediaTime::make(1, 0).isValid());
  MediaTime otherEpoch = valid;
  otherEpoch.epoch = 1;
  EXPECT_TRUE(std::isnan((valid - otherEpoch).seconds()));
  MediaTime infinite{0, 1, MediaTime::valid | MediaTime::positiveInfinity, 0};
  EXPECT_EQ((infinite - valid).seconds(), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan((infinite - infinite).seconds()));
  // A difference too large for 64 bits saturates to infinity instead of wrapping.
  EXPECT_EQ((MediaTime::make(INT64_MAX, 1) - MediaTime::make(INT64_MIN, 1)).seconds(),
            std::numeric_limits<double>::infinity());
}

TEST(MediaTest, FrameCountUsesTheAudioDescription) {
  const FormatDescription stereoFloat(AudioStreamDescription{48000, 2, SampleFormat::float32});
  const FormatDescription monoShort(AudioStreamDescription{16000, 1, SampleFormat::int16});
  const std::vector<std::byte> bytes(1923);
  EXPECT_EQ(SampleBuffer(true, {}, &stereoFloat, bytes).frameCount(), 240);
  EXPECT_EQ(SampleBuffer(true, {}, &monoShort, bytes).frameCount(), 961);
  EXPECT_EQ(SampleBuffer(true, {}, nullptr, bytes).frameCount(), 0);
  const FormatDescription screen;
  EXPECT_EQ(screen.streamBasicDescription(), nullptr);
}

TEST(ErrorTest, DescriptionNamesDomainCodeAndMessage) {
  EXPECT_EQ((Error{"PulseAudio", 6, "Connection terminated"}).description(),
            "Error Domain=PulseAudio Code=6 \"Connection terminated\"");
  EXPECT_EQ(posixError(13, "open /x").localizedDescription(), "open /x: Permission denied");
}

TEST(DispatchTest, SerialQueueRunsJobsInOrderOnItsOwnThread) {
  SerialQueue queue("velkin.test.serial", QualityOfService::utility);
  EXPECT_FALSE(queue.isCurrent());
  std::vector<int> order;
  std::promise<void> done;
  for (int i = 0; i < 100; ++i) {
    queue.async([&, i] {
      EXPECT_TRUE(queue.isCurrent());
      order.push_back(i);
      if (i == 99) {
        done.set_value();
      }
    });
  }
  done.get_future().wait();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(order[i], i);
  }
}

TEST(DispatchTest, AwaitedCompletionsResumeOnTheAwaitingSideNeverOnTheHostThread) {
  Runtime runtime;
  SerialQueue host("velkin.test.host", QualityOfService::userInitiated);
  std::vector<std::string> problems;
  int answers = 0;

  auto onPool = [&]() -> asio::awaitable<int> {
    // Called back from a foreign thread, resumed on the pool.
    const int value = co_await awaitCompletion<int>([&](std::function<void(int)> done) {
      host.async([done] {
        done(41);
        done(99);  // a second call must not resume anything
      });
    });
    if (host.isCurrent() || runtime.isMainThread()) {
      problems.push_back("pool work resumed on the wrong thread");
    }
    // Moves to the main thread and back.
    const auto pool = co_await asio::this_coro::executor;
    co_await switchTo(runtime.mainExecutor());
    if (!runtime.isMainThread()) {
      problems.push_back("switchTo did not reach the main thread");
    }
    co_await switchTo(pool);
    if (runtime.isMainThread()) {
      problems.push_back("switchTo did not leave the main thread");
    }
    co_return value + 1;
  };
  auto onMain = [&]() -> asio::awaitable<void> {
    answers = co_await asio::co_spawn(runtime.workerExecutor(), onPool(), asio::use_awaitable);
    if (!runtime.isMainThread()) {
      problems.push_back("main resumed off the main thread");
    }
    // A handler called synchronously, inside the call, resumes on main too.
    const int inline_ =
        co_await awaitCompletion<int>([](std::function<void(int)> done) { done(7); });
    answers += inline_;
    if (!runtime.isMainThread()) {
      problems.push_back("main resumed off the main thread after an inline handler");
    }
  };
  asio::co_spawn(runtime.mainExecutor(), onMain(), [&](std::exception_ptr) { runtime.stopMain(); });
  runtime.runMain();
  EXPECT_EQ(answers, 49);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace
}  // namespace velkin
