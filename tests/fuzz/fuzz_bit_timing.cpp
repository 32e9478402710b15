// Fuzz target: the bit-timing search over arbitrary clocks, limits, bit rates and sample points.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bit_timing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t v[11] = {};
  std::memcpy(v, data, std::min(size, sizeof v));
  const uint32_t bitrate = v[0], sample_point = v[1], clock = v[2];
  const vorel::BitTimingConst c{v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]};
  auto t = vorel::calculate_bittiming(bitrate, sample_point, clock, c);
  if (!t) return 0;
  if (t->brp < (c.brp_min ? c.brp_min : 1) || t->brp > c.brp_max) std::abort();
  if (t->sjw < 1 || t->sjw > 4 || t->prop_seg != 0) std::abort();
  if (t->phase_seg1 < c.tseg1_min || t->phase_seg1 > c.tseg1_max) std::abort();
  if (t->phase_seg2 < c.tseg2_min || t->phase_seg2 > c.tseg2_max) std::abort();
  if (sample_point <= 1000) {
    const uint64_t ntq = uint64_t{clock} / t->brp / bitrate;
    if (1 + uint64_t{t->phase_seg1} + t->phase_seg2 != ntq) std::abort();
    if (uint64_t{clock} / t->brp / ntq != t->bitrate) std::abort();
  }
  return 0;
}
