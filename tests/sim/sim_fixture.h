// Test fixture over the simulated adapters: a fresh world per test and no libusb object left after.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vsim.h"

namespace vorel::testing {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { vsim_reset(); }
  void TearDown() override {
    EXPECT_EQ(vsim_count_handles(), 0);
    EXPECT_EQ(vsim_count_claims(), 0);
    EXPECT_EQ(vsim_count_contexts(), 0);
    EXPECT_EQ(vsim_count_devices(), 0);
  }

  struct Logged {
    uint8_t type, request;
    uint16_t value, index, length;
    std::vector<uint8_t> data;
    int result;
  };
  // The vendor control transfers logged since the last clear.
  static std::vector<Logged> vendor_log() {
    std::vector<Logged> out;
    for (size_t i = 0; i < vsim_log_count(); ++i) {
      vsim_log_entry e{};
      vsim_log_get(i, &e);
      if (e.kind != 0 || (e.request_type & 0x60) != 0x40) continue;
      out.push_back({e.request_type, e.request, e.value, e.index, e.length,
                     std::vector<uint8_t>(e.data, e.data + e.data_len), e.result});
    }
    return out;
  }
};

}  // namespace vorel::testing
