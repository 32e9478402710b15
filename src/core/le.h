// Little-endian loads and stores over byte spans, length checked by the span's extent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorel::le {

inline uint32_t load_u32(std::span<const uint8_t> b, size_t off) noexcept {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

inline uint64_t load_u64(std::span<const uint8_t> b, size_t off) noexcept {
  return static_cast<uint64_t>(load_u32(b, off)) | static_cast<uint64_t>(load_u32(b, off + 4)) << 32;
}

inline void store_u32(std::span<uint8_t> b, size_t off, uint32_t v) noexcept {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
  b[off + 2] = static_cast<uint8_t>(v >> 16);
  b[off + 3] = static_cast<uint8_t>(v >> 24);
}

// A u32 from the first 0 to 4 bytes given; missing high bytes count as zero.
inline uint32_t load_u32_partial(std::span<const uint8_t> b) noexcept {
  uint32_t v = 0;
  for (size_t i = 0; i < b.size() && i < 4; ++i) v |= static_cast<uint32_t>(b[i]) << (8 * i);
  return v;
}

}  // namespace vorel::le
