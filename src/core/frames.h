// Frame records on the bulk endpoints: the 16-byte TxFrame and the 24-byte RxFrame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vorel {

// Flags byte, both records.
inline constexpr uint8_t FLAG_RTR = 0x02;
inline constexpr uint8_t FLAG_EXT = 0x04;
inline constexpr uint8_t FLAG_ERR = 0x08;

// Identifier word bits, the Linux SocketCAN can_id assignment.
inline constexpr uint32_t ID_EXT = 0x80000000;
inline constexpr uint32_t ID_RTR = 0x40000000;
inline constexpr uint32_t ID_ERR = 0x20000000;
inline constexpr uint32_t STD_MASK = 0x7FF;
inline constexpr uint32_t EXT_MASK = 0x1FFFFFFF;

inline constexpr size_t MAX_DATA = 8;

// TxFrame layout: 0 zero, 1 dlc, 2 flags, 3 one, 4..7 identifier word, 8..15 data.
namespace tx {
inline constexpr size_t SIZE = 16;
inline constexpr size_t DLC = 1, FLAGS = 2, MARKER = 3, ID = 4, DATA = 8;
}  // namespace tx
static_assert(tx::DATA + MAX_DATA == tx::SIZE);

// RxFrame layout: 1 dlc, 2 flags, 4..7 identifier word, 8..15 data, 16..23 timestamp (us).
namespace rx {
inline constexpr size_t SIZE = 24;
inline constexpr size_t DLC = 1, FLAGS = 2, ID = 4, DATA = 8, TIMESTAMP = 16;
}  // namespace rx
static_assert(rx::TIMESTAMP + 8 == rx::SIZE);

using TxRecord = std::array<uint8_t, tx::SIZE>;

struct TxFrame {
  // Identifier bits beyond the 11 or 29-bit range and data past 8 bytes are dropped; dlc is
  // written as given, independent of the data's length.
  static TxRecord to_bytes(uint32_t arb_id, bool is_ext, bool is_rtr, bool is_err, uint8_t dlc,
                           std::span<const uint8_t> data) noexcept;
};

// One decoded RxFrame; owns its data bytes (exactly dlc of them).
struct ReceivedFrame {
  uint64_t timestamp_us = 0;
  uint32_t arb_id = 0;
  bool is_ext = false;
  bool is_rtr = false;
  bool is_err = false;
  uint8_t dlc = 0;
  std::vector<uint8_t> data;
};

struct RxFrame {
  // Every bit pattern decodes; the frame kind is the flags byte OR the identifier word's bits.
  static ReceivedFrame from_bytes(std::span<const uint8_t, rx::SIZE> record);
};

// The whole records in the first n bytes of a bulk read (at most 64), in buffer order.
std::vector<ReceivedFrame> parse_rx_frames(std::span<const uint8_t> buffer, size_t n);

}  // namespace vorel
