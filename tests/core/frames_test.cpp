// Byte layouts of the TxFrame and RxFrame records.
#include <gtest/gtest.h>

#include <vector>

#include "frames.h"

namespace vorel {
namespace {

using Bytes = std::vector<uint8_t>;

struct TxCase {
  uint32_t arb_id;
  bool ext, rtr, err;
  uint8_t dlc;
  Bytes data;
  Bytes record;
};

TEST(TxFrame, EncodesRecordsByteForByte) {
  const TxCase cases[] = {
      // the four worked encodings
      {0x123, false, false, false, 2, {0xAA, 0xBB},
       {0, 2, 0, 1, 0x23, 0x01, 0, 0, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0}},
      {0x7FF, true, true, false, 8, {}, {0, 8, 6, 1, 0xFF, 0x07, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {0x123, true, false, false, 3, {1, 2, 3},
       {0, 3, 4, 1, 0x23, 0x01, 0, 0x80, 1, 2, 3, 0, 0, 0, 0, 0}},
      {0x7FF, false, true, true, 0, {}, {0, 0, 0x0A, 1, 0xFF, 0x07, 0, 0x60, 0, 0, 0, 0, 0, 0, 0, 0}},
      // bit 11 of a standard identifier is dropped
      {0x800, false, false, false, 0, {}, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // extended identifiers keep 29 bits
      {0xFFFFFFFF, true, false, false, 0, {}, {0, 0, 4, 1, 0xFF, 0xFF, 0xFF, 0x9F, 0, 0, 0, 0, 0, 0, 0, 0}},
      // a remote frame ignores its data
      {0x10, false, true, false, 5, {1, 2, 3, 4, 5}, {0, 5, 2, 1, 0x10, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0}},
      {0x10, true, true, false, 5, {1, 2, 3, 4, 5}, {0, 5, 6, 1, 0x10, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // error on a remote extended frame sets all three top bits
      {0x1, true, true, true, 0, {}, {0, 0, 0x0E, 1, 1, 0, 0, 0xE0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // dlc independent of the data; data cut at eight bytes
      {0x1, false, false, false, 8, {9, 8}, {0, 8, 0, 1, 1, 0, 0, 0, 9, 8, 0, 0, 0, 0, 0, 0}},
      {0x1, false, false, false, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 2, 0, 1, 1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {0x1, false, false, false, 15, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {0, 15, 0, 1, 1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {0x1, false, false, false, 255, {}, {0, 255, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // error data frame, standard
      {0x2AB, false, false, true, 1, {0x55}, {0, 1, 8, 1, 0xAB, 0x02, 0, 0x20, 0x55, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    TxRecord r = TxFrame::to_bytes(c.arb_id, c.ext, c.rtr, c.err, c.dlc, c.data);
    EXPECT_EQ(Bytes(r.begin(), r.end()), c.record) << std::hex << c.arb_id;
  }
}

std::array<uint8_t, rx::SIZE> rx_record(uint8_t dlc, uint8_t flags, uint32_t word, Bytes data,
                                         uint64_t ts) {
  std::array<uint8_t, rx::SIZE> r{};
  r[0] = 0xEE;  // not interpreted
  r[1] = dlc;
  r[2] = flags;
  r[3] = 0xEE;
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<uint8_t>(word >> (8 * i));
  std::copy(data.begin(), data.end(), r.begin() + 8);
  for (int i = 0; i < 8; ++i) r[16 + i] = static_cast<uint8_t>(ts >> (8 * i));
  return r;
}

TEST(RxFrame, DecodesKindFromFlagsOrIdentifierWord) {
  struct Case {
    uint8_t dlc, flags;
    uint32_t word;
    uint32_t arb_id;
    bool ext, rtr, err;
    uint8_t out_dlc;
  };
  const Case cases[] = {
      {2, 0x00, 0x123, 0x123, false, false, false, 2},
      {0, 0x00, 0x80001234, 0x1234, true, false, false, 0},   // bit 31 alone
      {0, 0x04, 0x00001234, 0x1234, true, false, false, 0},   // flag alone
      {0, 0x00, 0xFFFFFFFF, 0x1FFFFFFF, true, true, true, 0}, // every word bit
      {0, 0x00, 0x0000FFFF, 0x7FF, false, false, false, 0},   // standard masked to 11 bits
      {4, 0x02, 0x10, 0x10, false, true, false, 4},           // remote keeps its data bytes
      {0, 0x00, 0x40000010, 0x10, false, true, false, 0},
      {0, 0x08, 0x10, 0x10, false, false, true, 0},
      {0, 0x00, 0x20000010, 0x10, false, false, true, 0},
      {12, 0x00, 0x10, 0x10, false, false, false, 8},         // dlc clamped
      {0xF1, 0xF1, 0x10, 0x10, false, false, false, 8},       // unknown flag bits ignored
  };
  for (const auto& c : cases) {
    auto rec = rx_record(c.dlc, c.flags, c.word, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0102030405060708ull);
    ReceivedFrame f = RxFrame::from_bytes(rec);
    EXPECT_EQ(f.arb_id, c.arb_id) << std::hex << c.word;
    EXPECT_EQ(f.is_ext, c.ext) << std::hex << c.word;
    EXPECT_EQ(f.is_rtr, c.rtr) << std::hex << c.word;
    EXPECT_EQ(f.is_err, c.err) << std::hex << c.word;
    EXPECT_EQ(f.dlc, c.out_dlc);
    EXPECT_EQ(f.data, Bytes(rec.begin() + 8, rec.begin() + 8 + c.out_dlc));
    EXPECT_EQ(f.timestamp_us, 0x0102030405060708ull);
  }
}

TEST(RxFrame, SplitsReadsIntoWholeRecords) {
  std::array<uint8_t, 64> buf{};
  auto a = rx_record(1, 0, 0x1, {0xA1}, 10);
  auto b = rx_record(1, 0, 0x2, {0xB2}, 20);
  std::copy(a.begin(), a.end(), buf.begin());
  std::copy(b.begin(), b.end(), buf.begin() + 24);
  buf[48] = 1;  // bytes past the second record are ignored
  const std::pair<size_t, size_t> cases[] = {{0, 0}, {23, 0}, {24, 1}, {47, 1}, {48, 2}, {64, 2}, {200, 2}};
  for (auto [n, count] : cases) {
    auto frames = parse_rx_frames(buf, n);
    ASSERT_EQ(frames.size(), count) << n;
    if (count > 0) {
      EXPECT_EQ(frames[0].timestamp_us, 10u);
    }
    if (count > 1) {
      EXPECT_EQ(frames[1].data, Bytes{0xB2});
    }
  }
}

}  // namespace
}  // namespace vorel
