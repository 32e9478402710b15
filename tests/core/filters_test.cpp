// Software acceptance filters: the three tuple rules and the frame key.
#include <gtest/gtest.h>

#include "filters.h"

namespace vorel {
namespace {

ReceivedFrame frame(uint32_t id, bool ext, bool rtr = false, bool err = false) {
  ReceivedFrame f;
  f.arb_id = id;
  f.is_ext = ext;
  f.is_rtr = rtr;
  f.is_err = err;
  return f;
}

TEST(Filters, TupleRulesDecideWhatPasses) {
  using F = std::vector<FrameFilter>;
  auto one = [](uint32_t id, uint32_t mask, std::optional<bool> ext) {
    return F{FrameFilter::from_tuple(id, mask, ext)};
  };
  struct Case {
    const char* what;
    F filters;
    ReceivedFrame frame;
    bool passes;
  };
  const Case cases[] = {
      {"no filters accept all", {}, frame(0x1FFFFFFF, true, true, true), true},
      {"std filter, std frame", one(0x123, 0x7FF, false), frame(0x123, false), true},
      {"std filter, std remote frame", one(0x123, 0x7FF, false), frame(0x123, false, true), true},
      {"std filter rejects ext frame", one(0x123, 0x7FF, false), frame(0x123, true), false},
      {"std filter rejects other id", one(0x123, 0x7FF, false), frame(0x124, false), false},
      {"none filter, std frame", one(0x123, 0x7FF, std::nullopt), frame(0x123, false), true},
      {"none filter, ext frame with low bits", one(0x123, 0x7FF, std::nullopt), frame(0x1F123, true), true},
      {"none filter, ext frame other low bits", one(0x123, 0x7FF, std::nullopt), frame(0x1F124, true), false},
      {"ext any passes ext", one(0, 0, true), frame(0x1ABCDEF, true), true},
      {"ext any rejects std", one(0, 0, true), frame(0x1, false), false},
      {"none any passes all", one(0, 0, std::nullopt), frame(0x1, false, true), true},
      {"ext full mask rejects ext remote", one(0x1234, 0xFFFFFFFF, true), frame(0x1234, true, true), false},
      {"ext full mask passes ext data", one(0x1234, 0xFFFFFFFF, true), frame(0x1234, true), true},
      {"error flag plays no part", one(0x123, 0x7FF, false), frame(0x123, false, false, true), true},
      {"std filter masks can_id", one(0xF123, 0xFFFF, false), frame(0x123, false), true},
      {"ext filter masks can_id", one(0xE0001234, 0x1FFFFFFF, true), frame(0x1234, true), true},
      {"second filter matches", F{FrameFilter::from_tuple(1, 0x7FF, false), FrameFilter::from_tuple(2, 0x7FF, false)},
       frame(2, false), true},
  };
  for (const auto& c : cases) EXPECT_EQ(passes(c.filters, c.frame), c.passes) << c.what;
}

TEST(Filters, WordsFollowTheTupleTable) {
  EXPECT_EQ(FrameFilter::from_tuple(0xFFFFFFFF, 0x40000001, true).value, 0x9FFFFFFFu);
  EXPECT_EQ(FrameFilter::from_tuple(0xFFFFFFFF, 0x40000001, true).mask, 0xC0000001u);
  EXPECT_EQ(FrameFilter::from_tuple(0xFFFFFFFF, 0xFFFFFFFF, false).value, 0x7FFu);
  EXPECT_EQ(FrameFilter::from_tuple(0xFFFFFFFF, 0xFFFFFFFF, false).mask, 0x800007FFu);
  EXPECT_EQ(FrameFilter::from_tuple(0xDEADBEEF, 0x12345678, std::nullopt).value, 0xDEADBEEFu);
  EXPECT_EQ(FrameFilter::from_tuple(0xDEADBEEF, 0x12345678, std::nullopt).mask, 0x12345678u);
  EXPECT_EQ(frame_key(frame(0x5, true, true, true)), 0xC0000005u);
}

}  // namespace
}  // namespace vorel
