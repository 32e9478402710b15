// Tests of the adapter clock's mapping onto the host's, on synthetic frame sequences.
#include "clock_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

using vorel::ClockSync;

// An adapter whose oscillator is off by `ppm`, counting `bits` wide from `start_us`, whose frames
// the host reads 50 to 300 us after they were stamped.
struct Adapter {
  double ppm = 0;
  int bits = 32;
  uint64_t start_us = 0;
  uint64_t raw(double true_s) const {
    auto v = start_us + static_cast<uint64_t>(std::llround(true_s * (1 + ppm * 1e-6) * 1e6));
    return bits == 64 ? v : v & 0xFFFFFFFFull;
  }
};

struct Check {
  double worst_late = 0;   // how far a timestamp came after the host read it
  double worst_early = 0;  // how far before
  double worst_spacing = 0;
  bool backwards = false;
};

// Feeds frames stamped every `period_s` of true time from `t0` for `seconds`; host epoch = 0.
Check run(ClockSync& c, const Adapter& a, double t0, double seconds, double period_s, std::mt19937& rng,
          double* last_out = nullptr) {
  std::uniform_real_distribution<double> delay(50e-6, 300e-6);
  Check k;
  double prev = last_out ? *last_out : -1e300, prev_t = 0;
  for (double t = t0; t < t0 + seconds; t += period_s) {
    double host = t + delay(rng);
    double out = c.to_epoch(a.raw(t), host);
    k.worst_late = std::max(k.worst_late, out - host);
    k.worst_early = std::max(k.worst_early, host - out);
    if (out < prev) k.backwards = true;
    if (prev > -1e299 && t > t0 + 5) {
      // The adapter's spacing, to within its oscillator error and the blending rate.
      double spacing = (out - prev) / (t - prev_t) - 1;
      k.worst_spacing = std::max(k.worst_spacing, std::fabs(spacing));
    }
    prev = out;
    prev_t = t;
  }
  if (last_out) *last_out = prev;
  return k;
}

TEST(ClockSyncTest, FollowsTheHostClockForMinutesWithTheOscillatorOff) {
  for (double ppm : {-1000.0, -500.0, 0.0, 500.0, 1000.0}) {
    std::mt19937 rng(7);
    ClockSync c(0.0);
    Adapter a{ppm, 32, 123456789};
    Check k = run(c, a, 100.0, 600.0, 0.002, rng);  // 10 minutes, 300,000 frames
    EXPECT_LE(k.worst_late, 0.0) << ppm;            // never after the frame was read
    EXPECT_LT(k.worst_early, 1e-3) << ppm;          // and within 1 ms of it
    EXPECT_FALSE(k.backwards) << ppm;
    EXPECT_LT(k.worst_spacing, 5e-3) << ppm;  // 10 us in 2 ms
  }
}

TEST(ClockSyncTest, UnwrapsA32BitCounterAndBridgesGapsLongerThanAWrap) {
  std::mt19937 rng(11);
  ClockSync c(1000.0);  // epoch = monotonic + 1000 s
  Adapter a{500, 32, (uint64_t{1} << 32) - 2'000'000};  // wraps 2 s in
  double last = 0;
  Check k = run(c, a, 50.0, 10.0, 0.001, rng, &last);
  EXPECT_LE(k.worst_late, 1000.0 + 1e-9);
  EXPECT_LT(k.worst_early, 1000.0 + 1e-3);
  EXPECT_FALSE(k.backwards);
  // Two and a half hours without a frame: the counter wrapped twice meanwhile.
  double t = 50.0 + 10.0 + 9000.0;
  double out = c.to_epoch(a.raw(t), t + 100e-6);
  EXPECT_NEAR(out - 1000.0, t, 5e-3);  // off only by what 500 ppm adds over the gap, blended away
  EXPECT_GT(out, last);
  Check after = run(c, a, t + 0.001, 20.0, 0.001, rng);
  EXPECT_LT(after.worst_early, 1000.0 + 1e-3);
  EXPECT_LE(after.worst_late, 1000.0 + 1e-9);
}

TEST(ClockSyncTest, A64BitCounterNeedsNoUnwrapping) {
  std::mt19937 rng(3);
  ClockSync c(0.0);
  Adapter a{-300, 64, (uint64_t{1} << 40)};
  Check k = run(c, a, 10.0, 120.0, 0.001, rng);
  EXPECT_LE(k.worst_late, 0.0);
  EXPECT_LT(k.worst_early, 1e-3);
  EXPECT_FALSE(k.backwards);
}

TEST(ClockSyncTest, FramesHandedOverOutOfOrderStayInTheirPlace) {
  std::mt19937 rng(5);
  ClockSync c(0.0);
  Adapter a{200, 32, (uint64_t{1} << 32) - 500'000};  // wraps half a second in
  run(c, a, 1.0, 3.0, 0.001, rng);
  // Two threads: each frame of a pair is handed over after its successor.
  for (double t = 4.0; t < 6.0; t += 0.002) {
    double second = c.to_epoch(a.raw(t + 0.001), t + 0.0012);
    double first = c.to_epoch(a.raw(t), t + 0.0013);
    EXPECT_LT(first, second);
    EXPECT_NEAR(second - first, 0.001, 2e-5);
    EXPECT_LE(second, t + 0.0012);
    EXPECT_GT(first, t - 1e-3);
  }
}

TEST(ClockSyncTest, SeveralThreadsAtOnce) {
  ClockSync c(0.0);
  Adapter a{-800, 32, (uint64_t{1} << 32) - 1'000'000};
  c.to_epoch(a.raw(0), 0.0001);
  std::vector<std::thread> threads;
  std::vector<double> worst(4, 0);
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      // Thread k hands over every fourth frame of 40,000 stamped 1 ms apart.
      for (int i = k; i < 40000; i += 4) {
        double t = i * 0.001;
        double out = c.to_epoch(a.raw(t), t + 0.0002);
        worst[static_cast<size_t>(k)] = std::max(worst[static_cast<size_t>(k)], std::fabs(out - (t + 0.0002)));
      }
    });
  }
  for (auto& t : threads) t.join();
  // Handed over at once rather than in time, frames still land within a few ms of their read.
  for (double w : worst) EXPECT_LT(w, 0.1);
}

TEST(ClockSyncTest, EpochOffsetComesFromTheSystemClock) {
  ClockSync c;
  double mono = ClockSync::monotonic_s();
  double out = c.to_epoch(12345, mono);
  EXPECT_NEAR(out, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(), 0.5);
}

}  // namespace
