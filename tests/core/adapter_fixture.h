// Test fixture of the core's suites: one simulated adapter, opened through the core's transport.
#pragma once

#include <memory>
#include <optional>

#include "sim_fixture.h"
#include "usb_transport.h"

namespace vorel::testing {

class OneAdapterTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    vsim_add_adapter("VOR.EL:CANH0001");
    auto t = open_transport(std::nullopt);
    ASSERT_TRUE(t);
    transport = std::move(t).value();
  }
  void TearDown() override {
    transport.reset();
    SimTest::TearDown();
  }
  std::shared_ptr<UsbTransport> transport;
};

}  // namespace vorel::testing
