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
    if (prev > -1e299 && t > t0 + 30) {
      // The adapter's spacing, once the oscillator's error is known (half a minute of minima).
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
    EXPECT_LT(k.worst_spacing, 1e-2) << ppm;  // 20 us in 2 ms
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

namespace {

// What a scenario's frames were: true time (host seconds), the adapter's raw value, and when the
// host read it; `settled` is false for the reads of a late episode.
struct Frame {
  double t;
  uint64_t raw;
  double read;
  bool settled;  // the host has had a prompt read since the last late episode began
};

struct Scenario {
  const char* name;
  double ppm = 0;
  double latency_s = 100e-6, jitter_s = 50e-6;
  int bits = 32;
  uint64_t start_us = 0;
  std::vector<Frame> (*make)(const Scenario&, std::mt19937&);
  // A late episode (see late_window) when late_to > 0.
  double late_from = 0, late_to = 0, late_at = 0;
  size_t late_kept = 64;
};

constexpr double TEN_MINUTES = 600;

// A steady stream every 5 ms for `seconds`, read `latency + U(0, jitter)` after each frame.
std::vector<Frame> stream(const Scenario& s, std::mt19937& rng, double seconds = 90) {
  std::uniform_real_distribution<double> jitter(0, s.jitter_s);
  Adapter a{s.ppm, s.bits, s.start_us};
  std::vector<Frame> out;
  for (double t = 1.0; t < seconds; t += 0.005) out.push_back({t, a.raw(t), t + s.latency_s + jitter(rng), true});
  return out;
}

// Reads of frames stamped in [from, to) all made at `at` and after, back to back, at most 64 of
// them (the adapter's queue); the others are lost. Later frames are read promptly again.
void late_window(std::vector<Frame>& fs, double from, double to, double at, size_t kept = 64) {
  std::vector<Frame> out;
  size_t n = 0;
  double next = at;
  for (auto& f : fs) {
    if (f.t >= from && f.t < to) {
      if (n++ < kept) {
        out.push_back({f.t, f.raw, next, false});
        next += 20e-6;
      }
      continue;
    }
    if (f.t >= to && f.read < next) f.read = next += 20e-6;  // the reads queue behind the backlog
    out.push_back(f);
  }
  fs = out;
}

std::vector<Frame> late_stream(const Scenario& s, std::mt19937& rng) {
  auto fs = stream(s, rng);
  late_window(fs, s.late_from, s.late_to, s.late_at, s.late_kept);
  return fs;
}

const Scenario SCENARIOS[] = {
    {"ten minutes at +500 ppm, 1 ms latency and jitter", 500, 1e-3, 200e-6, 32, 1000,
     [](const Scenario& s, std::mt19937& r) { return stream(s, r, TEN_MINUTES); }},
    {"ten minutes at -500 ppm across a wrap", -500, 1e-3, 200e-6, 32, 4'294'000'000ull,
     [](const Scenario& s, std::mt19937& r) { return stream(s, r, TEN_MINUTES); }},
    {"first read 1 s late", 300, 100e-6, 50e-6, 32, 5000, late_stream, 0, 2.0, 2.0},
    {"first read 10 s late", -300, 100e-6, 50e-6, 32, 5000, late_stream, 0, 11.0, 11.0},
    {"a 1 s pause of a consumer without the receiver", 200, 100e-6, 50e-6, 32, 0, late_stream, 30.0, 31.0, 31.0},
    {"a 0.3 s USB stall", -200, 1e-3, 200e-6, 32, 0, late_stream, 30.0, 30.3, 30.3, 1000},
    {"frames of a session 50 minutes earlier first", 100, 100e-6, 50e-6, 32, 3'000'000'000ull,
     [](const Scenario& s, std::mt19937& r) {
       auto fs = stream(s, r);
       Adapter a{s.ppm, s.bits, s.start_us};
       std::vector<Frame> stale;
       for (int i = 0; i < 64; ++i) stale.push_back({-3000.0 + i * 0.005, a.raw(-3000.0 + i * 0.005) , 1.0 + i * 20e-6, false});
       for (auto& f : fs) f.read = std::max(f.read, 1.0 + 64 * 20e-6);
       stale.insert(stale.end(), fs.begin(), fs.end());
       return stale;
     }},
    {"the counter restarts", 0, 100e-6, 50e-6, 32, 2'000'000'000,
     [](const Scenario& s, std::mt19937& r) {
       auto fs = stream(s, r);
       for (auto& f : fs)
         if (f.t >= 30) f.raw = static_cast<uint64_t>((f.t - 30) * 1e6);
       return fs;
     }},
    {"the counter restarts 0.3 s after it started", 0, 100e-6, 50e-6, 32, 0,
     [](const Scenario& s, std::mt19937& r) {
       auto fs = stream(s, r);
       for (auto& f : fs)
         if (f.t >= 1.3) f.raw = static_cast<uint64_t>((f.t - 1.3) * 1e6);
       return fs;
     }},
};

TEST(ClockSyncTest, StampsNeverBeforeTheFrameNorAfterItsReadAndCloseOnceReadsArePrompt) {
  for (const Scenario& s : SCENARIOS) {
    std::mt19937 rng(17);
    auto frames = s.make(s, rng);
    ClockSync c(0.0);
    double worst_early = 0, worst_late = 0, worst_close = 0, worst_spacing = 0, smallest_delay = 1e9;
    double prev_out = 0, prev_t = 0;
    bool prev_settled = false, prompt_since_late = true;
    for (const Frame& f : frames) {
      const double out = c.to_epoch(f.raw, f.read);
      // Settled from the first prompt read after a late episode on.
      if (!f.settled) prompt_since_late = false;
      else if (f.read - f.t <= s.latency_s + s.jitter_s + 1e-6) prompt_since_late = true;
      const bool settled = f.settled && prompt_since_late;
      if (f.t > -1) {  // a stale frame's true time says nothing here
        worst_early = std::max(worst_early, f.t - out);
        worst_late = std::max(worst_late, out - f.read);
      }
      if (settled) {
        smallest_delay = std::min(smallest_delay, f.read - f.t);
        worst_close = std::max(worst_close, out - f.t - smallest_delay);
        if (prev_settled) worst_spacing = std::max(worst_spacing, std::fabs((out - prev_out) - (f.t - prev_t)));
      }
      prev_out = out;
      prev_t = f.t;
      prev_settled = settled;
    }
    EXPECT_LE(worst_early, 0.0) << s.name;  // never before the frame happened
    EXPECT_LE(worst_late, 0.0) << s.name;   // never after it was read
    EXPECT_LT(worst_close, 1e-3) << s.name;
    EXPECT_LT(worst_spacing, 1e-3) << s.name;
    std::printf("%-50s early %8.1f us, after truth+min delay %7.1f us, spacing %6.1f us\n", s.name,
                worst_early * 1e6, worst_close * 1e6, worst_spacing * 1e6);
  }
}

}  // namespace
