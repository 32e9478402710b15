// Platform layer: waits never end early, a stop ends them at once, threads are named.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "platform.h"

namespace vorel::platform {
namespace {

TEST(Platform, WaitsNeverEndBeforeTheirDeadline) {
  StopSignal s;
  for (uint64_t us : {0, 50, 200, 1000, 3000}) {
    uint64_t deadline = monotonic_ns() + us * 1000;
    EXPECT_FALSE(s.wait_until(deadline));
    EXPECT_GE(monotonic_ns(), deadline) << us;
  }
}

TEST(Platform, AStopEndsAWaitForever) {
  StopSignal s;
  std::atomic<uint64_t> woke{0};
  SpawnError err;
  Thread t = Thread::start("waiter", 64 * 1024, [&] {
    EXPECT_TRUE(s.wait_until(NEVER));
    woke = monotonic_ns();
  }, &err);
  ASSERT_TRUE(t.joinable()) << err.text;
  uint64_t t0 = monotonic_ns();
  while (monotonic_ns() - t0 < 20'000'000) {
  }
  uint64_t set_at = monotonic_ns();
  s.set();
  t.join();
  EXPECT_TRUE(s.is_set());
  EXPECT_LT(woke.load() - set_at, 100'000'000u);
  EXPECT_TRUE(s.wait_until(NEVER));  // final: later waits return at once
}

TEST(Platform, ThreadsCarryTheFirstFifteenBytesOfTheirName) {
  char name[32] = {};
  SpawnError err;
  Thread t = Thread::start("vorel-periodic-send", 2 * 1024 * 1024, [&] {
    pthread_getname_np(pthread_self(), name, sizeof name);
  }, &err);
  ASSERT_TRUE(t.joinable());
  t.join();
  EXPECT_STREQ(name, "vorel-periodic-");
}

TEST(Platform, ASpawnFailureReportsTheOsError) {
  SpawnError err;
  Thread t = Thread::start("x", 1, [] {}, &err);  // below the minimum stack size
  EXPECT_FALSE(t.joinable());
  EXPECT_EQ(err.code, EINVAL);
  EXPECT_EQ(err.text, std::string(strerror(EINVAL)) + " (os error " + std::to_string(EINVAL) + ")");
}

TEST(Platform, SaturatingArithmetic) {
  EXPECT_EQ(saturating_add(NEVER - 1, 5), NEVER);
  EXPECT_EQ(saturating_add(1, 2), 3u);
  EXPECT_EQ(saturating_mul(uint64_t{1} << 63, 1000), NEVER);
  EXPECT_EQ(saturating_mul(7, 1000), 7000u);
  EXPECT_EQ(saturating_mul(NEVER, 0), 0u);
}

}  // namespace
}  // namespace vorel::platform
