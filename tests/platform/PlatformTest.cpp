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
  const MediaTime one = MediaTime::make(1, 1), invalid = MediaTime::invalid();
  const auto at = [](int64_t value, int32_t timescale) {
    return MediaTime::make(value, timescale);
  };
  const std::tuple<MediaTime, MediaTime, double> cases[] = {
      {at(15 * 48000, 48000), at(10 * 48000, 48000), 5.0},
      {at(10, 48000), at(20, 48000), -10.0 / 48000},
      // Different timescales meet on a common one, exactly.
      {at(3, 2), at(44100, 44100), 0.5},
      {at(480000, 48000), at(441000, 44100), 0.0},
      // Huge values do not overflow on the way; a difference too large for 64
      // bits saturates instead of wrapping.
      {at(INT64_MAX / 2, 1000000000), at(INT64_MAX / 2 - 500000000, 1000000000), 0.5},
      {at(INT64_MAX, 1), at(INT64_MIN, 1), infinity},
      {one, invalid, nan},
      {invalid, one, nan},
      {at(1, 0), one, nan},
  };
  for (const auto& c : cases) {
    const auto& [a, b, expected] = c;
    const double seconds = (a - b).seconds();
    EXPECT_TRUE(std::isnan(expected) ? std::isnan(seconds)
                                     : seconds == expected || std::fabs(seconds - expected) < 1e-15)
        << "case " << &c - cases << ": " << seconds;
  }
}

// EXPECT from any thread: the checks run on the pool and on the main thread.
TEST(DispatchTest, AwaitedCompletionsResumeOnTheAwaitingSideNeverOnTheHostThread) {
  Runtime runtime;
  SerialQueue host("velkin.test.host", QualityOfService::userInitiated);
  int answers = 0;
  auto onPool = [&]() -> asio::awaitable<int> {
    // Called back from a foreign thread, resumed on the pool.
    const int value = co_await awaitCompletion<int>([&](std::function<void(int)> done) {
      host.async([done] {
        done(41);
        done(99);  // a second call must not resume anything
      });
    });
    EXPECT_FALSE(host.isCurrent() || runtime.isMainThread());
    co_return value + 1;
  };
  auto onMain = [&]() -> asio::awaitable<void> {
    answers = co_await asio::co_spawn(runtime.workerExecutor(), onPool(), asio::use_awaitable);
    EXPECT_TRUE(runtime.isMainThread());
    // A handler called synchronously, inside the call, resumes on main too.
    answers += co_await awaitCompletion<int>([](std::function<void(int)> done) { done(7); });
    EXPECT_TRUE(runtime.isMainThread());
  };
  asio::co_spawn(runtime.mainExecutor(), onMain(), [&](std::exception_ptr) { runtime.stopMain(); });
  runtime.runMain();
  EXPECT_EQ(answers, 49);
}

}  // namespace
}  // namespace velkin
