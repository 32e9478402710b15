// The Windows platform layer: threads, the performance counter, and waits that are never early and
// never spin, also when the system refuses the stop event or the high-resolution timer.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform.h"

namespace vorel::platform {
namespace {

constexpr uint64_t MS = 1000000;

// CPU time the calling thread has used, in nanoseconds.
uint64_t thread_cpu_ns() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ns = [](FILETIME t) { return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) * 100; };
  return ns(kernel) + ns(user);
}

// Turns the faults off again whatever the test's outcome.
struct Faults {
  Faults(bool events, bool timers) {
    faults::fail_event_creation(events);
    faults::fail_timer_creation(timers);
  }
  ~Faults() {
    faults::fail_event_creation(false);
    faults::fail_timer_creation(false);
  }
};

TEST(WindowsPlatform, ThreadsRunJoinAndReportTheSystemsRefusal) {
  std::atomic<int> ran{0};
  SpawnError error;
  Thread t = Thread::start("vorel-test", 256 * 1024, [&] { ran = 1; }, &error);
  ASSERT_TRUE(t.joinable()) << error.text;
  t.join();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_FALSE(t.joinable());
  // A reservation no address space holds is refused, with the system's text and code.
  Thread huge = Thread::start("vorel-test", size_t{1} << 46, [] {}, &error);
  EXPECT_FALSE(huge.joinable());
  EXPECT_NE(error.code, 0);
  EXPECT_NE(error.text.find("(os error "), std::string::npos);
}

TEST(WindowsPlatform, TheCounterIsMonotonicAndFine) {
  uint64_t last = monotonic_ns(), smallest = UINT64_MAX;
  for (int i = 0; i < 100000; ++i) {
    const uint64_t now = monotonic_ns();
    ASSERT_GE(now, last);
    if (now > last) smallest = std::min(smallest, now - last);
    last = now;
  }
  EXPECT_LE(smallest, 1000u);  // a microsecond or better
}

// Every way a wait can be made: with event and timer, without timer, without either.
class Waits : public ::testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(Waits, AreNeverEarlyNeverSpinAndEndAtTheSignal) {
  Faults faults(GetParam().first, GetParam().second);
  StopSignal stop;
  for (uint64_t ms : {1, 5, 20, 60}) {
    const uint64_t t0 = monotonic_ns(), cpu0 = thread_cpu_ns();
    EXPECT_FALSE(stop.wait_until(t0 + ms * MS));
    const uint64_t took = monotonic_ns() - t0;
    EXPECT_GE(took, ms * MS) << ms << " ms";
    EXPECT_LT(took, ms * MS + 100 * MS) << ms << " ms";
    EXPECT_LT(thread_cpu_ns() - cpu0, took / 2 + 2 * MS) << "spun through a " << ms << " ms wait";
  }
  // Without limit (NEVER, and any deadline from FAR_FUTURE on), until set() from another thread.
  for (uint64_t deadline : {NEVER, FAR_FUTURE}) {
    StopSignal signal;
    std::thread setter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      signal.set();
    });
    const uint64_t t0 = monotonic_ns(), cpu0 = thread_cpu_ns();
    EXPECT_TRUE(signal.wait_until(deadline));
    const uint64_t took = monotonic_ns() - t0;
    setter.join();
    EXPECT_GE(took, 40 * MS);
    EXPECT_LT(took, 200 * MS);
    EXPECT_LT(thread_cpu_ns() - cpu0, 20 * MS);
    EXPECT_TRUE(signal.wait_until(monotonic_ns() + 1000 * MS));  // set is final: no wait at all
  }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutTheirResources, Waits,
                         ::testing::Values(std::pair{false, false}, std::pair{false, true}, std::pair{true, false}));

}  // namespace
}  // namespace vorel::platform
