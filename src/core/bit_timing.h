// Bit-timing search: bit rate and sample point to a complete timing within the adapter's limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol.h"
#include "result.h"

namespace vorel {

// The adapter's limits, in time quanta and prescaler steps.
struct BitTimingConst {
  uint32_t tseg1_min = 0, tseg1_max = 0;
  uint32_t tseg2_min = 0, tseg2_max = 0;
  uint32_t sjw_max = 0;
  uint32_t brp_min = 0, brp_max = 0, brp_inc = 0;
};

// One complete bit timing, as computed and as written to the adapter.
struct BitTiming {
  uint32_t bitrate = 0;       // achieved, bit/s
  uint32_t sample_point = 0;  // achieved, permille
  uint32_t tq = 0;            // ns
  uint32_t prop_seg = 0;
  uint32_t phase_seg1 = 0;
  uint32_t phase_seg2 = 0;
  uint32_t sjw = 0;
  uint32_t brp = 0;
  bool operator==(const BitTiming&) const = default;
};

inline constexpr uint32_t MAX_CLASSIC_BITRATE = 1000000;

// Bit rates above 1 Mbit/s need CAN FD capable hardware; the error is the message to show.
std::optional<std::string> check_bitrate_supported(uint32_t bitrate, uint32_t ctrlmode_supported);

// The best timing over all prescalers, or nothing when none meets the limits.
std::optional<BitTiming> calculate_bittiming(uint32_t bitrate, uint32_t sample_point,
                                             uint32_t clock_freq, const BitTimingConst& limits) noexcept;

// The reachable bit rate nearest to `bitrate` (the lower one of two as near), 0 when none is.
uint32_t nearest_bitrate(uint32_t bitrate, uint32_t clock_freq, const BitTimingConst& limits) noexcept;

// Given segments as one record (propagation segment 0, phase_seg1 = tseg1, phase_seg2 = tseg2)
// with the bit rate and sample point they give; the error names the first limit they break.
struct Segments {
  uint32_t brp = 0, tseg1 = 0, tseg2 = 0, sjw = 0;
};
Result<BitTiming> timing_from_segments(const Segments& s, uint32_t clock_freq, const BitTimingConst& limits);

// For the plug-in: of the segments that give a bit rate within `tolerance_ppm` of `bitrate`,
// those whose sample point lies nearest `sample_point_ppm` (millionths of the bit: 812500 is
// 81.25 %), above or below it, the higher one of two as near; then the nearer rate, then more
// quanta. Nothing when no rate is near enough.
std::optional<Segments> segments_near(uint32_t bitrate, uint32_t sample_point_ppm, uint32_t tolerance_ppm,
                                      uint32_t clock_freq, const BitTimingConst& limits) noexcept;

// What the plug-in's request for a bit rate and sample point comes to: the timing of
// segments_near (nothing when no rate is near enough), and the nearest rate the adapter reaches
// at all, for the message that says so.
struct TimingChoice {
  std::optional<BitTiming> timing;
  uint32_t nearest_bitrate = 0;
};
TimingChoice choose_bit_timing(uint32_t bitrate, uint32_t sample_point_ppm, uint32_t tolerance_ppm,
                               uint32_t clock_freq, const BitTimingConst& limits);

}  // namespace vorel
