// Fuzz target: splitting and decoding bulk reads of any length and content.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte says how many bytes the transfer claims to have filled; the rest is the buffer.
  if (size == 0) return 0;
  const size_t n = data[0];
  std::span<const uint8_t> buffer(data + 1, size - 1);
  auto frames = vorel::parse_rx_frames(buffer, n);
  const size_t whole = std::min({n, buffer.size(), size_t{64}}) / vorel::rx::SIZE;
  if (frames.size() != whole) std::abort();
  for (const auto& f : frames) {
    if (f.dlc > 8 || f.data.size() != f.dlc) std::abort();
    if (f.arb_id > (f.is_ext ? vorel::EXT_MASK : vorel::STD_MASK)) std::abort();
  }
  return 0;
}
