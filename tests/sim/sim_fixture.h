// Test fixture over the simulated adapters: a fresh world per test and no libusb object left after.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vsim.h"

namespace vorel::testing {

// Built once against the drop-in libusb and once against the system's libusb over emulated
// devices (VOREL_SIM_UMOCKDEV), which sees URBs rather than libusb calls.
#ifdef VOREL_SIM_UMOCKDEV
inline constexpr bool DROP_IN = false;
#else
inline constexpr bool DROP_IN = true;
#endif

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef VOREL_SIM_UMOCKDEV
    ASSERT_EQ(vsim_umockdev_start(), 0) << "needs LD_PRELOAD=libumockdev-preload.so.0";
#endif
    vsim_reset();
    vsim_log_enable(1);
  }
  void TearDown() override {
    if (!DROP_IN) {
      // A closed file reaches the testbed through its socket a moment after the close.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while ((vsim_count_handles() != 0 || vsim_count_claims() != 0) &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(vsim_count_handles(), 0);
    EXPECT_EQ(vsim_count_claims(), 0);
    // The drop-in also counts libusb's own objects; the system's libusb keeps those to itself.
    EXPECT_EQ(vsim_count_contexts(), 0);
    EXPECT_EQ(vsim_count_devices(), 0);
    EXPECT_EQ(vsim_count_transfers(), 0);
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
