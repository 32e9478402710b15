// Encoding of TxFrame records and decoding of RxFrame records.
#include "frames.h"

#include <algorithm>

#include "le.h"

namespace vorel {

TxRecord TxFrame::to_bytes(uint32_t arb_id, bool is_ext, bool is_rtr, bool is_err, uint8_t dlc,
                           std::span<const uint8_t> data) noexcept {
  TxRecord r{};
  uint32_t id = is_ext ? (arb_id & kExtMask) | kIdExt : arb_id & kStdMask;
  uint8_t flags = is_ext ? kFlagExt : 0;
  if (is_rtr) {
    // A remote frame carries no data, whatever the caller passed.
    id |= kIdRtr;
    flags |= kFlagRtr;
  } else {
    std::copy_n(data.begin(), std::min(data.size(), kMaxData), r.begin() + tx::kData);
  }
  if (is_err) {
    id |= kIdErr;
    flags |= kFlagErr;
  }
  r[tx::kDlc] = dlc;
  r[tx::kFlags] = flags;
  r[tx::kMarker] = 0x01;
  le::store_u32(r, tx::kId, id);
  return r;
}

ReceivedFrame RxFrame::from_bytes(std::span<const uint8_t, rx::kSize> rec) {
  const uint8_t f = rec[rx::kFlags];
  const uint32_t w = le::load_u32(rec, rx::kId);
  ReceivedFrame out;
  out.is_ext = (f & kFlagExt) != 0 || (w & kIdExt) != 0;
  out.arb_id = w & (out.is_ext ? kExtMask : kStdMask);
  out.is_rtr = (f & kFlagRtr) != 0 || (w & kIdRtr) != 0;
  out.is_err = (f & kFlagErr) != 0 || (w & kIdErr) != 0;
  out.dlc = std::min<uint8_t>(rec[rx::kDlc], kMaxData);
  out.data.assign(rec.begin() + rx::kData, rec.begin() + rx::kData + out.dlc);
  out.timestamp_us = le::load_u64(rec, rx::kTimestamp);
  return out;
}

std::vector<ReceivedFrame> parse_rx_frames(std::span<const uint8_t> buffer, size_t n) {
  const size_t limit = std::min({n, buffer.size(), size_t{64}});
  std::vector<ReceivedFrame> frames;
  for (size_t off = 0; off + rx::kSize <= limit; off += rx::kSize)
    frames.push_back(RxFrame::from_bytes(buffer.subspan(off).first<rx::kSize>()));
  return frames;
}

}  // namespace vorel
