// Software acceptance filters: a value and a mask compared against a frame's key (no Python here).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "frames.h"

namespace vorel {

struct FrameFilter {
  uint32_t value = 0;
  uint32_t mask = 0;

  // From python-can's (can_id, can_mask, extended): True and False also require the frame's
  // kind through bit 31 of the mask; None compares the words as given.
  static FrameFilter from_tuple(uint32_t can_id, uint32_t can_mask, std::optional<bool> extended) noexcept {
    if (!extended) return {can_id, can_mask};
    if (*extended) return {ID_EXT | (can_id & EXT_MASK), can_mask | ID_EXT};
    return {can_id & STD_MASK, (can_mask & STD_MASK) | ID_EXT};
  }
};

// The key a frame is matched by: identifier, bit 31 extended, bit 30 remote (never the error flag).
inline uint32_t frame_key(const ReceivedFrame& f) noexcept {
  return f.arb_id | (f.is_ext ? ID_EXT : 0u) | (f.is_rtr ? ID_RTR : 0u);
}

// An empty list accepts everything; otherwise the first matching filter accepts.
inline bool passes(const std::vector<FrameFilter>& filters, const ReceivedFrame& f) noexcept {
  if (filters.empty()) return true;
  const uint32_t key = frame_key(f);
  for (const FrameFilter& flt : filters)
    if (((key ^ flt.value) & flt.mask) == 0) return true;
  return false;
}

}  // namespace vorel
