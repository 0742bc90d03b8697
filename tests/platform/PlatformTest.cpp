#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <cmath>
#include <limits>

#include "platform/Dispatch.hpp"
#include "platform/Media.hpp"

namespace velkin {
namespace {

TEST(MediaTimeTest, DifferencesFollowTheTimescalesAndNeverWrap) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double infinity = std::numeric_limits<double>::infinity();
  const MediaTime one = MediaTime::make(1, 1);
  MediaTime otherEpoch = one;
  otherEpoch.epoch = 1;
  const MediaTime infinite{0, 1, MediaTime::valid | MediaTime::positiveInfinity, 0};
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
      // A difference too large for 64 bits saturates instead of wrapping.
      {MediaTime::make(INT64_MAX, 1), MediaTime::make(INT64_MIN, 1), infinity},
      {one, MediaTime::invalid(), nan},
      {MediaTime::invalid(), one, nan},
      {MediaTime::make(1, 0), one, nan},
      {one, otherEpoch, nan},
      {infinite, one, infinity},
      {infinite, infinite, nan},
  };
  for (const Case& c : cases) {
    const double seconds = (c.a - c.b).seconds();
    EXPECT_TRUE(std::isnan(c.seconds)
                    ? std::isnan(seconds)
                    : seconds == c.seconds || std::fabs(seconds - c.seconds) < 1e-15)
        << "case " << &c - cases << ": " << seconds;
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
