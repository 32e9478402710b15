// Exhaustive prescaler search for the bit timing closest to a requested bit rate and sample point.
#include "bit_timing.h"

#include <algorithm>
#include <limits>

namespace vorel {

std::optional<std::string> check_bitrate_supported(uint32_t bitrate, uint32_t ctrlmode_supported) {
  if (bitrate <= MAX_CLASSIC_BITRATE || (ctrlmode_supported & CTRLMODE_FD) != 0) return std::nullopt;
  return "Hardware constraint violated: Bitrate (" + std::to_string(bitrate) +
         ") > 1,000,000 bps is only supported on CAN FD capable hardware.";
}

std::optional<BitTiming> calculate_bittiming(uint32_t bitrate, uint32_t sample_point,
                                             uint32_t clock_freq, const BitTimingConst& c) noexcept {
  if (bitrate == 0 || clock_freq == 0) return std::nullopt;
  // The clamp of time segment 1 needs a non-empty range.
  if (c.tseg1_min > c.tseg1_max) return std::nullopt;
  const uint64_t brp_start = c.brp_min > 0 ? c.brp_min : 1;
  const uint64_t step = c.brp_inc > 0 ? c.brp_inc : 1;
  const uint64_t brp_max = c.brp_max;
  if (brp_start > brp_max) return std::nullopt;
  // 64-bit sums and products throughout: absurd limits must neither wrap nor loop forever.
  const uint64_t clock = clock_freq, rate = bitrate;
  const uint64_t total_min = uint64_t{c.tseg1_min} + c.tseg2_min;
  const uint64_t total_max = uint64_t{c.tseg1_max} + c.tseg2_max;
  auto grid_at_or_above = [&](uint64_t from, uint64_t v) {
    return v <= from ? from : from + (v - from + step - 1) / step * step;
  };

  uint64_t best_score = std::numeric_limits<uint64_t>::max();
  std::optional<BitTiming> best;
  // Ascending prescalers. The quanta per bit, ntq = floor(clock / (brp * rate)), never rise as
  // brp grows, so the prescalers come in runs of equal ntq. Within a run the segments and the
  // sample-point error are fixed and the achieved rate floor(clock / (brp * ntq)) never rises
  // nor falls below the request, so the run's first prescaler reaching its lowest rate scores
  // best of the run. Visiting only that one per run finds the same first-best result as trying
  // every prescaler, in about 2 * sqrt(clock) steps at worst instead of up to 2^32.
  for (uint64_t brp = brp_start; brp <= brp_max;) {
    const uint64_t fq = clock / brp;
    if (fq < rate) break;  // fq only falls from here: no later prescaler reaches the bit rate
    const uint64_t ntq = fq / rate;
    if (ntq - 1 < total_min) break;  // ntq only falls from here
    const uint64_t run_end = std::min(clock / (rate * ntq), brp_max);
    const uint64_t last = brp + (run_end - brp) / step * step;
    if (ntq - 1 > total_max) {
      // Jump to the first prescaler whose ntq - 1 fits: brp * rate * (total_max + 2) > clock.
      const unsigned __int128 denom = static_cast<unsigned __int128>(rate) * (total_max + 2);
      const uint64_t fits = static_cast<uint64_t>(clock / denom) + 1;
      brp = std::max(last + step, grid_at_or_above(brp, fits));
      continue;
    }
    const uint64_t x = uint64_t{sample_point} * ntq;
    const uint64_t raw = x >= 2000 ? x / 1000 - 1 : 0;
    const uint64_t seg1 = raw < c.tseg1_min ? c.tseg1_min : raw > c.tseg1_max ? c.tseg1_max : raw;
    const uint64_t seg2 = seg1 > ntq - 1 ? 0 : (ntq - 1) - seg1;
    if (seg2 < c.tseg2_min || seg2 > c.tseg2_max) {
      brp = last + step;
      continue;
    }
    const uint64_t lowest = clock / (last * ntq);
    const uint64_t first = grid_at_or_above(brp, clock / (ntq * (lowest + 1)) + 1);
    const uint64_t achieved_rate = (clock / first) / ntq;
    const uint64_t achieved_sp = (seg1 + 1) * 1000 / ntq;
    const uint64_t rate_err = achieved_rate - rate;  // never negative, see above
    const uint64_t sp_err = sample_point > achieved_sp ? sample_point - achieved_sp : achieved_sp - sample_point;
    const uint64_t score = rate_err * 1000 + sp_err;
    if (score < best_score) {
      uint64_t sjw = std::min<uint64_t>(c.sjw_max, seg2);
      sjw = std::clamp<uint64_t>(sjw, 1, 4);
      best = BitTiming{
          static_cast<uint32_t>(achieved_rate),
          static_cast<uint32_t>(achieved_sp),
          static_cast<uint32_t>(1000000000ull / (clock / first)),
          0,
          static_cast<uint32_t>(seg1),
          static_cast<uint32_t>(seg2),
          static_cast<uint32_t>(sjw),
          static_cast<uint32_t>(first),
      };
      best_score = score;
      if (score == 0) break;
    }
    brp = last + step;
  }
  return best;
}

uint32_t nearest_bitrate(uint32_t bitrate, uint32_t clock_freq, const BitTimingConst& c) noexcept {
  if (bitrate == 0 || clock_freq == 0 || c.tseg1_min > c.tseg1_max || c.tseg2_min > c.tseg2_max) return 0;
  const uint64_t brp_start = c.brp_min > 0 ? c.brp_min : 1;
  const uint64_t step = c.brp_inc > 0 ? c.brp_inc : 1;
  if (brp_start > c.brp_max) return 0;
  const uint64_t brp_last = brp_start + (c.brp_max - brp_start) / step * step;
  const uint64_t clock = clock_freq, rate = bitrate;
  // Every split of ntq - 1 quanta into the two segments is within the limits when ntq - 1 lies
  // between the sums of their bounds; no more quanta than the clock gives per prescaler step.
  const uint64_t ntq_min = uint64_t{c.tseg1_min} + c.tseg2_min + 1;
  // Past twice the quanta of the ideal one the rate is off by half; absurd limits stay bounded.
  const uint64_t ntq_max = std::min({uint64_t{c.tseg1_max} + c.tseg2_max + 1, 2 * (clock / (brp_start * rate)) + 2,
                                     ntq_min + (uint64_t{1} << 16)});
  uint64_t best = 0, best_err = std::numeric_limits<uint64_t>::max();
  auto consider = [&](uint64_t brp, uint64_t ntq) {
    const uint64_t r = clock / brp / ntq;
    if (r == 0 || r > std::numeric_limits<uint32_t>::max()) return;
    const uint64_t err = r > rate ? r - rate : rate - r;
    if (err < best_err || (err == best_err && r < best)) best = r, best_err = err;
  };
  for (uint64_t ntq = std::max<uint64_t>(ntq_min, 1); ntq <= ntq_max; ++ntq) {
    // The prescalers on the grid either side of clock / (rate * ntq).
    const uint64_t ideal = clock / (rate * ntq);
    const uint64_t below = ideal < brp_start ? brp_start : brp_start + (ideal - brp_start) / step * step;
    for (uint64_t brp : {below, below + step}) consider(std::min(brp, brp_last), ntq);
  }
  return static_cast<uint32_t>(best);
}

std::optional<Segments> segments_near(uint32_t bitrate, uint32_t sample_point_ppm, uint32_t tolerance_ppm,
                                      uint32_t clock_freq, const BitTimingConst& c) noexcept {
  if (bitrate == 0 || clock_freq == 0 || c.tseg1_min > c.tseg1_max || c.tseg2_min > c.tseg2_max) return std::nullopt;
  if (sample_point_ppm > 1000000) return std::nullopt;  // beyond the bit; keeps sp * ntq in range
  const uint64_t brp_start = c.brp_min > 0 ? c.brp_min : 1;
  const uint64_t step = c.brp_inc > 0 ? c.brp_inc : 1;
  if (brp_start > c.brp_max) return std::nullopt;
  const uint64_t brp_last = brp_start + (c.brp_max - brp_start) / step * step;
  const uint64_t clock = clock_freq, rate = bitrate, sp = sample_point_ppm;
  const uint64_t ntq_min = std::max<uint64_t>(uint64_t{c.tseg1_min} + c.tseg2_min + 1, 2);
  const uint64_t ntq_max = std::min({uint64_t{c.tseg1_max} + c.tseg2_max + 1, 2 * (clock / (brp_start * rate)) + 2,
                                     ntq_min + (uint64_t{1} << 16)});
  std::optional<Segments> best;
  // The best so far: sample-point error as the fraction err_num / best_ntq (in millionths), the
  // rate's error, the quanta.
  uint64_t best_err_num = 0, best_ntq = 1, best_rate_err = 0, best_sp_num = 0;
  auto consider = [&](uint64_t brp, uint64_t ntq) {
    const uint64_t r = clock / brp / ntq;
    const uint64_t rate_err = r > rate ? r - rate : rate - r;
    if (r == 0 || rate_err * 1000000 > rate * tolerance_ppm) return;
    // tseg1 so that both segments are within their limits.
    const uint64_t lo = std::max<uint64_t>(c.tseg1_min, ntq - 1 > c.tseg2_max ? ntq - 1 - c.tseg2_max : 0);
    const uint64_t hi = std::min<uint64_t>(c.tseg1_max, ntq - 1 >= c.tseg2_min ? ntq - 1 - c.tseg2_min : 0);
    if (lo > hi || ntq - 1 < c.tseg2_min) return;
    // (tseg1 + 1) / ntq on either side of the sample point asked.
    const uint64_t below = sp * ntq / 1000000;
    for (uint64_t q : {below, below + 1}) {
      const uint64_t tseg1 = std::clamp<uint64_t>(q > 0 ? q - 1 : 0, lo, hi);
      const uint64_t num = (tseg1 + 1) * 1000000;  // the sample point is num / ntq millionths
      const uint64_t err_num = num > sp * ntq ? num - sp * ntq : sp * ntq - num;
      // Compare err_num / ntq with best_err_num / best_ntq, then the higher point, rate, quanta.
      const unsigned __int128 a = static_cast<unsigned __int128>(err_num) * best_ntq,
                              b = static_cast<unsigned __int128>(best_err_num) * ntq;
      const unsigned __int128 pa = static_cast<unsigned __int128>(num) * best_ntq,
                              pb = static_cast<unsigned __int128>(best_sp_num) * ntq;
      const bool better = !best || a < b || (a == b && (pa > pb || (pa == pb && (rate_err < best_rate_err ||
                                                                                   (rate_err == best_rate_err &&
                                                                                    ntq > best_ntq)))));
      if (!better) continue;
      const uint64_t tseg2 = ntq - 1 - tseg1;
      const uint64_t sjw = std::clamp<uint64_t>(std::min<uint64_t>(c.sjw_max, tseg2), 1, 4);
      best = Segments{static_cast<uint32_t>(brp), static_cast<uint32_t>(tseg1), static_cast<uint32_t>(tseg2),
                      static_cast<uint32_t>(sjw)};
      best_err_num = err_num, best_ntq = ntq, best_rate_err = rate_err, best_sp_num = num;
    }
  };
  for (uint64_t ntq = ntq_min; ntq <= ntq_max; ++ntq) {
    const uint64_t ideal = clock / (rate * ntq);
    const uint64_t below = ideal < brp_start ? brp_start : brp_start + (ideal - brp_start) / step * step;
    for (uint64_t brp : {below, below + step}) consider(std::min(brp, brp_last), ntq);
  }
  return best;
}

Result<BitTiming> timing_from_segments(const Segments& s, uint32_t clock_freq, const BitTimingConst& c) {
  auto refuse = [](const char* field, uint32_t value, const char* side, const char* limit, uint32_t bound) {
    return DeviceError::with_text(ErrorKind::InvalidParameter, std::string(field) + " " + std::to_string(value) +
                                                                   " is " + side + " the adapter's " + limit + " of " +
                                                                   std::to_string(bound));
  };
  const uint32_t brp_min = c.brp_min > 0 ? c.brp_min : 1, step = c.brp_inc > 0 ? c.brp_inc : 1;
  if (s.brp < brp_min) return refuse("brp", s.brp, "below", "brp_min", brp_min);
  if (s.brp > c.brp_max) return refuse("brp", s.brp, "above", "brp_max", c.brp_max);
  if ((s.brp - brp_min) % step != 0)
    return DeviceError::with_text(ErrorKind::InvalidParameter,
                                  "brp " + std::to_string(s.brp) + " is not brp_min " + std::to_string(brp_min) +
                                      " plus a multiple of the adapter's brp_inc of " + std::to_string(step));
  if (s.tseg1 < c.tseg1_min) return refuse("tseg1", s.tseg1, "below", "tseg1_min", c.tseg1_min);
  if (s.tseg1 > c.tseg1_max) return refuse("tseg1", s.tseg1, "above", "tseg1_max", c.tseg1_max);
  if (s.tseg2 < c.tseg2_min) return refuse("tseg2", s.tseg2, "below", "tseg2_min", c.tseg2_min);
  if (s.tseg2 > c.tseg2_max) return refuse("tseg2", s.tseg2, "above", "tseg2_max", c.tseg2_max);
  if (s.sjw < 1) return refuse("sjw", s.sjw, "below", "minimum", 1);
  if (s.sjw > c.sjw_max) return refuse("sjw", s.sjw, "above", "sjw_max", c.sjw_max);
  const uint64_t fq = clock_freq / s.brp, ntq = uint64_t{s.tseg1} + s.tseg2 + 1;
  if (fq == 0 || fq / ntq == 0)
    return DeviceError::with_text(ErrorKind::InvalidParameter,
                                  "the adapter's clock of " + std::to_string(clock_freq) + " Hz is too slow for them");
  return BitTiming{static_cast<uint32_t>(fq / ntq),
                   static_cast<uint32_t>((uint64_t{s.tseg1} + 1) * 1000 / ntq),
                   static_cast<uint32_t>(1000000000ull / fq),
                   0,
                   s.tseg1,
                   s.tseg2,
                   s.sjw,
                   s.brp};
}

TimingChoice choose_bit_timing(uint32_t bitrate, uint32_t sample_point_ppm, uint32_t tolerance_ppm,
                               uint32_t clock_freq, const BitTimingConst& limits) {
  TimingChoice c;
  if (auto seg = segments_near(bitrate, sample_point_ppm, tolerance_ppm, clock_freq, limits))
    if (auto t = timing_from_segments(*seg, clock_freq, limits)) c.timing = t.value();
  c.nearest_bitrate = nearest_bitrate(bitrate, clock_freq, limits);
  return c;
}

}  // namespace vorel
