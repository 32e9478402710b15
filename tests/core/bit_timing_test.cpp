// The bit-timing search: worked examples, edge cases, and agreement with a plain reference search.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <random>

#include "bit_timing.h"

namespace vorel {
namespace {

const BitTimingConst LIMITS{1, 16, 1, 8, 4, 1, 1024, 1};

// Every prescaler in turn, exactly as the search is defined, in 64-bit arithmetic.
std::optional<BitTiming> reference(uint32_t bitrate, uint32_t sp, uint32_t clock, const BitTimingConst& c) {
  if (bitrate == 0 || clock == 0 || c.tseg1_min > c.tseg1_max) return std::nullopt;
  uint64_t start = std::max<uint32_t>(c.brp_min, 1), step = std::max<uint32_t>(c.brp_inc, 1);
  uint64_t tmin = uint64_t{c.tseg1_min} + c.tseg2_min, tmax = uint64_t{c.tseg1_max} + c.tseg2_max;
  uint64_t best_score = UINT64_MAX;
  std::optional<BitTiming> best;
  for (uint64_t brp = start; brp <= c.brp_max; brp += step) {
    uint64_t fq = clock / brp;
    if (bitrate > fq) continue;
    uint64_t ntq = fq / bitrate;
    if (ntq - 1 < tmin || ntq - 1 > tmax) continue;
    uint64_t x = uint64_t{sp} * ntq;
    uint64_t raw = x >= 2000 ? x / 1000 - 1 : 0;
    uint64_t s1 = std::clamp<uint64_t>(raw, c.tseg1_min, c.tseg1_max);
    uint64_t s2 = s1 > ntq - 1 ? 0 : ntq - 1 - s1;
    if (s2 < c.tseg2_min || s2 > c.tseg2_max) continue;
    uint64_t rate = fq / ntq, asp = (s1 + 1) * 1000 / ntq;
    uint64_t score = (rate > bitrate ? rate - bitrate : bitrate - rate) * 1000 + (asp > sp ? asp - sp : sp - asp);
    if (score < best_score) {
      best_score = score;
      best = BitTiming{uint32_t(rate), uint32_t(asp), uint32_t(1000000000 / fq), 0, uint32_t(s1), uint32_t(s2),
                       uint32_t(std::clamp<uint64_t>(std::min<uint64_t>(c.sjw_max, s2), 1, 4)), uint32_t(brp)};
      if (score == 0) break;
    }
  }
  return best;
}

void expect_invariant(const BitTiming& t, uint32_t clock, const BitTimingConst& c) {
  uint64_t bit = 1 + uint64_t{t.phase_seg1} + t.phase_seg2;
  EXPECT_EQ(uint64_t{clock} / t.brp / bit, t.bitrate);
  EXPECT_GE(t.phase_seg1, c.tseg1_min);
  EXPECT_LE(t.phase_seg1, c.tseg1_max);
  EXPECT_GE(t.phase_seg2, c.tseg2_min);
  EXPECT_LE(t.phase_seg2, c.tseg2_max);
  EXPECT_GE(t.sjw, 1u);
  EXPECT_LE(t.sjw, 4u);
  EXPECT_GE(t.brp, std::max<uint32_t>(c.brp_min, 1));
  EXPECT_LE(t.brp, c.brp_max);
  EXPECT_EQ(t.prop_seg, 0u);
}

TEST(BitTiming, WorkedExamples) {
  EXPECT_EQ(calculate_bittiming(500000, 875, 48000000, LIMITS),
            (BitTiming{500000, 875, 125, 0, 13, 2, 2, 6}));
  EXPECT_EQ(calculate_bittiming(250000, 800, 48000000, LIMITS),
            (BitTiming{250000, 750, 250, 0, 11, 4, 4, 12}));
}

TEST(BitTiming, EdgeCases) {
  struct Case {
    const char* what;
    uint32_t bitrate, sp, clock;
    BitTimingConst limits;
    std::optional<BitTiming> want;
  };
  BitTimingConst brp0 = LIMITS, inc0 = LIMITS, empty = LIMITS, sjw0 = LIMITS, sjw10 = LIMITS,
                 inverted = LIMITS, seg2_0 = LIMITS;
  brp0.brp_min = 0;
  inc0.brp_inc = 0;
  empty.brp_min = 2000;
  sjw0.sjw_max = 0;
  sjw10.sjw_max = 10;
  inverted.tseg1_min = 17;
  seg2_0.tseg2_min = 0;
  const Case cases[] = {
      {"zero bit rate", 0, 875, 48000000, LIMITS, std::nullopt},
      {"zero clock", 500000, 875, 0, LIMITS, std::nullopt},
      {"brp_min 0 is 1", 500000, 875, 48000000, brp0, BitTiming{500000, 875, 125, 0, 13, 2, 2, 6}},
      {"brp_inc 0 is 1", 500000, 875, 48000000, inc0, BitTiming{500000, 875, 125, 0, 13, 2, 2, 6}},
      {"empty prescaler range", 500000, 875, 48000000, empty, std::nullopt},
      {"bit rate above every fq", 48000001, 875, 48000000, LIMITS, std::nullopt},
      {"sjw_max 0 gives 1", 500000, 875, 48000000, sjw0, BitTiming{500000, 875, 125, 0, 13, 2, 1, 6}},
      // 250 kbit/s at 700: brp 12 gives ntq 16, segments 10 and 5; sjw capped at 4
      {"sjw_max 10 gives 4", 250000, 700, 48000000, sjw10, BitTiming{250000, 687, 250, 0, 10, 5, 4, 12}},
      {"sample point 0 clamps to tseg1_min", 500000, 0, 48000000, LIMITS,
       BitTiming{500000, 250, 250, 0, 1, 6, 4, 12}},
      {"inverted tseg1 limits", 500000, 875, 48000000, inverted, std::nullopt},
      // above 1000, segment 1 clamps to tseg1_max; only small ntq would saturate segment 2
      {"sample point above 1000", 500000, 1500, 48000000, LIMITS, BitTiming{500000, 708, 83, 0, 16, 7, 4, 4}},
  };
  for (const auto& c : cases) {
    auto got = calculate_bittiming(c.bitrate, c.sp, c.clock, c.limits);
    EXPECT_EQ(got, c.want) << c.what;
    EXPECT_EQ(got, reference(c.bitrate, c.sp, c.clock, c.limits)) << c.what;
  }
  auto over = calculate_bittiming(500000, 1500, 48000000, seg2_0);
  ASSERT_TRUE(over);
  // with tseg2_min 0 the saturated segment 2 passes: brp 12, ntq 8, segment 1 clamped to 11
  EXPECT_EQ(*over, (BitTiming{500000, 1500, 250, 0, 11, 0, 1, 12}));
}

TEST(BitTiming, AgreesWithThePlainSearchOnRandomInputs) {
  std::mt19937_64 rng(20261209);
  auto pick = [&](uint64_t lo, uint64_t hi) { return static_cast<uint32_t>(lo + rng() % (hi - lo + 1)); };
  const uint32_t rates[] = {10000, 20000, 50000, 83333, 100000, 125000, 250000, 500000, 800000, 1000000};
  for (int i = 0; i < 20000; ++i) {
    BitTimingConst c;
    c.tseg1_min = pick(0, 4);
    c.tseg1_max = pick(0, 40);
    c.tseg2_min = pick(0, 4);
    c.tseg2_max = pick(0, 20);
    c.sjw_max = pick(0, 8);
    c.brp_min = pick(0, 8);
    c.brp_max = pick(0, 1200);
    c.brp_inc = pick(0, 3);
    uint32_t clock = i % 3 == 0 ? pick(1, 100000000) : (i % 3 == 1 ? 48000000 : 80000000);
    uint32_t bitrate = i % 4 == 0 ? pick(1, 2000000) : rates[rng() % 10];
    uint32_t sp = i % 5 == 0 ? pick(0, 1500) : pick(500, 950);
    auto got = calculate_bittiming(bitrate, sp, clock, c);
    auto want = reference(bitrate, sp, clock, c);
    ASSERT_EQ(got, want) << "case " << i << " rate " << bitrate << " sp " << sp << " clock " << clock;
    if (got && sp <= 1000) expect_invariant(*got, clock, c);
  }
}

TEST(BitTiming, AbsurdLimitsNeitherWrapNorRunLong) {
  const BitTimingConst wide{0, UINT32_MAX, 0, UINT32_MAX, UINT32_MAX, 0, UINT32_MAX, 0};
  const BitTimingConst near_top{1, 16, 1, 8, 4, UINT32_MAX - 5, UINT32_MAX, UINT32_MAX};
  const BitTimingConst tiny{0, 1, 0, 1, 1, 1, UINT32_MAX, 1};
  auto t0 = std::chrono::steady_clock::now();
  auto a = calculate_bittiming(1, 500, UINT32_MAX, wide);
  EXPECT_TRUE(a);
  EXPECT_FALSE(calculate_bittiming(500000, 875, 48000000, near_top));
  auto b = calculate_bittiming(1, 875, UINT32_MAX, tiny);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bitrate, 1u);
  auto c = calculate_bittiming(UINT32_MAX, UINT32_MAX, UINT32_MAX, wide);
  EXPECT_TRUE(c);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(BitTiming, FdRequiredAboveOneMegabit) {
  EXPECT_EQ(check_bitrate_supported(1000000, 0), std::nullopt);
  EXPECT_EQ(check_bitrate_supported(1000001, 0x20), std::nullopt);
  EXPECT_EQ(check_bitrate_supported(1000001, 0xFFFFFFDF),
            "Hardware constraint violated: Bitrate (1000001) > 1,000,000 bps is only supported on CAN FD "
            "capable hardware.");
}

TEST(BitTiming, NearestReachableRate) {
  // Reachable rates near 900 kbit/s at 48 MHz: 888888 (3 x 18 quanta) and 923076 (4 x 13).
  const struct {
    uint32_t asked, clock;
    BitTimingConst limits;
    uint32_t nearest;
  } cases[] = {
      {900000, 48000000, LIMITS, 888888},
      {500000, 48000000, LIMITS, 500000},
      {1, 48000000, LIMITS, 1875},                      // the slowest: brp 1024, 25 quanta
      {48000000, 48000000, LIMITS, 16000000},           // the fastest: brp 1, 3 quanta
      {900000, 48000000, {1, 16, 1, 8, 4, 2, 1024, 2}, 888888},  // brp 3 is off the grid 2, 4, ...
      {0, 48000000, LIMITS, 0},
      {500000, 0, LIMITS, 0},
      {500000, 48000000, {5, 1, 1, 8, 4, 1, 1024, 1}, 0},  // empty range
  };
  for (const auto& c : cases) EXPECT_EQ(nearest_bitrate(c.asked, c.clock, c.limits), c.nearest) << c.asked;
  const BitTimingConst absurd{0, UINT32_MAX, 0, UINT32_MAX, UINT32_MAX, 0, UINT32_MAX, 0};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(nearest_bitrate(1, UINT32_MAX, absurd), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(BitTiming, SegmentsNearTheSamplePointAskedAboveOrBelow) {
  const struct {
    uint32_t rate, sample_point_ppm;
    std::optional<Segments> want;  // brp, tseg1, tseg2, sjw
  } cases[] = {
      {250000, 812500, Segments{12, 12, 3, 3}},  // exactly reachable; calculate_bittiming gives 75 %
      {250000, 800000, Segments{12, 12, 3, 3}},  // 81.25 % is nearer than 75 %
      {250000, 781250, Segments{12, 12, 3, 3}},  // 75 % and 81.25 % as near: the higher
      {500000, 875000, Segments{6, 13, 2, 2}},   // 87.5 % with 8 or 16 quanta: more quanta
      {888000, 875000, Segments{3, 15, 2, 2}},   // 888888 bit/s, within 0.5 %: 88.9 % of 18 quanta
      {900000, 875000, std::nullopt},            // nothing within 0.5 %
      {0, 875000, std::nullopt},
  };
  for (const auto& c : cases) {
    // As the plug-in asks: the timing, and the nearest reachable rate for its message.
    const TimingChoice got = choose_bit_timing(c.rate, c.sample_point_ppm, 5000, 48000000, LIMITS);
    ASSERT_EQ(got.timing.has_value(), c.want.has_value()) << c.rate << " " << c.sample_point_ppm;
    const double off = std::abs(double(got.nearest_bitrate) - c.rate) / std::max(1u, c.rate);
    if (!got.timing) {
      EXPECT_TRUE(c.rate == 0 || off > 0.005) << c.rate << " nearest " << got.nearest_bitrate;
      continue;
    }
    const BitTiming& t = *got.timing;
    EXPECT_EQ((std::array{t.brp, t.prop_seg + t.phase_seg1, t.phase_seg2, t.sjw}),
              (std::array{c.want->brp, c.want->tseg1, c.want->tseg2, c.want->sjw}))
        << c.rate << " " << c.sample_point_ppm;
    EXPECT_LE(off, 0.005) << c.rate << " nearest " << got.nearest_bitrate;
  }
  const BitTimingConst absurd{0, UINT32_MAX, 0, UINT32_MAX, UINT32_MAX, 0, UINT32_MAX, 0};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(segments_near(1000, 875000, 5000, UINT32_MAX, absurd));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(BitTiming, GivenSegmentsAreCheckedAndKeptAsTheyAre) {
  auto t = timing_from_segments({6, 13, 2, 2}, 48000000, LIMITS);
  ASSERT_TRUE(t);
  EXPECT_EQ(t.value(), (BitTiming{500000, 875, 125, 0, 13, 2, 2, 6}));
  const BitTimingConst grid{2, 12, 1, 8, 3, 2, 64, 2};
  const struct {
    Segments s;
    const char* text;
  } refused[] = {
      {{1, 12, 3, 1}, "brp 1 is below the adapter's brp_min of 2"},
      {{66, 12, 3, 1}, "brp 66 is above the adapter's brp_max of 64"},
      {{3, 12, 3, 1}, "brp 3 is not brp_min 2 plus a multiple of the adapter's brp_inc of 2"},
      {{4, 1, 3, 1}, "tseg1 1 is below the adapter's tseg1_min of 2"},
      {{4, 13, 3, 1}, "tseg1 13 is above the adapter's tseg1_max of 12"},
      {{4, 12, 0, 1}, "tseg2 0 is below the adapter's tseg2_min of 1"},
      {{4, 12, 9, 1}, "tseg2 9 is above the adapter's tseg2_max of 8"},
      {{4, 12, 3, 0}, "sjw 0 is below the adapter's minimum of 1"},
      {{4, 12, 3, 4}, "sjw 4 is above the adapter's sjw_max of 3"},
  };
  for (const auto& r : refused) {
    auto got = timing_from_segments(r.s, 48000000, grid);
    ASSERT_FALSE(got) << r.text;
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidParameter);
    EXPECT_EQ(got.error().text(), r.text);
  }
  EXPECT_FALSE(timing_from_segments({64, 12, 3, 1}, 100, grid));  // no quantum at all
}

}  // namespace
}  // namespace vorel
