// Encoding of TxFrame records and decoding of RxFrame records.
#include "frames.h"

#include <algorithm>

#include "le.h"

namespace vorel {

TxRecord TxFrame::to_bytes(uint32_t arb_id, bool is_ext, bool is_rtr, bool is_err, uint8_t dlc,
                           std::span<const uint8_t> data) noexcept {
  TxRecord r{};
  uint32_t id = is_ext ? (arb_id & EXT_MASK) | ID_EXT : arb_id & STD_MASK;
  uint8_t flags = is_ext ? FLAG_EXT : 0;
  if (is_rtr) {
    // A remote frame carries no data, whatever the caller passed.
    id |= ID_RTR;
    flags |= FLAG_RTR;
  } else {
    std::copy_n(data.begin(), std::min(data.size(), MAX_DATA), r.begin() + tx::DATA);
  }
  if (is_err) {
    id |= ID_ERR;
    flags |= FLAG_ERR;
  }
  r[tx::DLC] = dlc;
  r[tx::FLAGS] = flags;
  r[tx::MARKER] = 0x01;
  le::store_u32(r, tx::ID, id);
  return r;
}

ReceivedFrame RxFrame::from_bytes(std::span<const uint8_t, rx::SIZE> rec) {
  const uint8_t f = rec[rx::FLAGS];
  const uint32_t w = le::load_u32(rec, rx::ID);
  ReceivedFrame out;
  out.is_ext = (f & FLAG_EXT) != 0 || (w & ID_EXT) != 0;
  out.arb_id = w & (out.is_ext ? EXT_MASK : STD_MASK);
  out.is_rtr = (f & FLAG_RTR) != 0 || (w & ID_RTR) != 0;
  out.is_err = (f & FLAG_ERR) != 0 || (w & ID_ERR) != 0;
  out.dlc = std::min<uint8_t>(rec[rx::DLC], MAX_DATA);
  out.data.assign(rec.begin() + rx::DATA, rec.begin() + rx::DATA + out.dlc);
  out.timestamp_us = le::load_u64(rec, rx::TIMESTAMP);
  return out;
}

std::vector<ReceivedFrame> parse_rx_frames(std::span<const uint8_t> buffer, size_t n) {
  const size_t limit = std::min({n, buffer.size(), size_t{64}});
  std::vector<ReceivedFrame> frames;
  for (size_t off = 0; off + rx::SIZE <= limit; off += rx::SIZE)
    frames.push_back(RxFrame::from_bytes(buffer.subspan(off).first<rx::SIZE>()));
  return frames;
}

}  // namespace vorel
