// Frame records on the bulk endpoints: the 16-byte TxFrame and the 24-byte RxFrame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol.h"

namespace vorel {

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

// A classic frame's time on the wire at `bitrate` (500 kbit/s when 0), its stuff bits at worst
// included, in nanoseconds.
constexpr uint64_t frame_wire_ns(bool is_ext, bool is_rtr, uint8_t dlc, uint32_t bitrate) noexcept {
  const uint64_t bits = (is_ext ? 67 : 47) + (is_rtr ? 0 : 8 * (dlc < 8 ? dlc : 8));
  return bits * 12 * 100000000 / (bitrate != 0 ? bitrate : 500000);
}

// The whole records in the first n bytes of a bulk read (at most 64), in buffer order.
std::vector<ReceivedFrame> parse_rx_frames(std::span<const uint8_t> buffer, size_t n);

}  // namespace vorel
