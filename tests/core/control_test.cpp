// Vendor requests: payload codecs, size checks, verified writes and the exact requests on the wire.
#include <gtest/gtest.h>

#include "control.h"
#include "adapter_fixture.h"
#include "usb_transport.h"

namespace vorel {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::OneAdapterTest;

TEST(Payloads, ShortAnswersAreCommunicationErrors) {
  struct Case {
    size_t minimum;
    const char* message;
    bool (*decode)(const Bytes&);
  };
  const Case cases[] = {
      {24, "Invalid device info response", [](const Bytes& b) { return decode_device_info(b).ok(); }},
      {24, "Invalid capabilities response", [](const Bytes& b) { return decode_capabilities(b).ok(); }},
      {48, "Invalid bt_const response", [](const Bytes& b) { return decode_bt_const(b).ok(); }},
      {32, "Invalid bittiming response", [](const Bytes& b) { return decode_bittiming(b).ok(); }},
      {20, "Invalid bus state response", [](const Bytes& b) { return decode_bus_status(b).ok(); }},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.decode(Bytes(c.minimum))) << c.message;
    EXPECT_FALSE(c.decode(Bytes(c.minimum - 1))) << c.message;
    EXPECT_FALSE(c.decode(Bytes())) << c.message;
  }
  auto caps = decode_capabilities(Bytes(23));
  EXPECT_EQ(caps.error().debug(), "Communication(\"Invalid capabilities response\")");
}

TEST(Payloads, FieldsAreLittleEndianAtTheirOffsets) {
  Bytes caps(24);
  for (size_t i = 0; i < 24; ++i) caps[i] = static_cast<uint8_t>(i + 1);
  auto c = decode_capabilities(caps);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->clock_freq, 0x04030201u);
  EXPECT_EQ(c->tx_data_buffer_size, 0x08070605u);
  EXPECT_EQ(c->rx_data_buffer_size, 0x0C0B0A09u);
  EXPECT_EQ(c->ctrlmode_supported, 0x100F0E0Du);
  EXPECT_EQ(c->features_supported, 0x14131211u);
  Bytes bt(48, 0xEE);
  for (size_t i = 0; i < 8; ++i) {
    bt[16 + 4 * i] = static_cast<uint8_t>(i + 1);
    bt[17 + 4 * i] = bt[18 + 4 * i] = bt[19 + 4 * i] = 0;
  }
  auto limits = decode_bt_const(bt);
  ASSERT_TRUE(limits);
  EXPECT_EQ(limits->tseg1_min, 1u);
  EXPECT_EQ(limits->brp_inc, 8u);
  Bytes info = {1, 2, 0, 0, 3, 4, 5, 6, 9, 9, 9, 9, 9, 9, 9, 9, 1, 7, 7, 7, 7, 7, 7, 7};
  auto i = decode_device_info(info);
  ASSERT_TRUE(i);
  EXPECT_EQ(version_text(i->hw_version), "1.2.0.0");
  EXPECT_EQ(version_text(i->fw_version), "3.4.5.6");
  EXPECT_EQ(i->channel_count, 1);
  EXPECT_EQ(version_text({0, 10, 255, 7}), "0.10.255.7");
  auto t = encode_bittiming(BitTiming{500000, 875, 125, 0, 13, 2, 2, 6});
  EXPECT_EQ(Bytes(t.begin(), t.begin() + 8), (Bytes{0x20, 0xA1, 0x07, 0, 0x6B, 0x03, 0, 0}));
  EXPECT_EQ(t[28], 6);
}

TEST(Payloads, WordsAndNames) {
  EXPECT_EQ(decode_word(Bytes{}), 0u);
  EXPECT_EQ(decode_word(Bytes{0x02}), 2u);
  EXPECT_EQ(decode_word(Bytes{1, 2, 3, 4}), 0x04030201u);
  const std::pair<Bytes, std::string> names[] = {
      {{'n', 'o', 'd', 'e', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "node1"},
      {Bytes(16, 'A'), std::string(16, 'A')},
      {{'a', 0xFF, 'b', 0}, "a\xEF\xBF\xBD" "b"},
      {{0xC3, 0xA9, 0}, "\xC3\xA9"},
      {{0xC3}, "\xEF\xBF\xBD"},
      {{0xE2, 0x82, 'x'}, "\xEF\xBF\xBDx"},
      {{}, ""},
  };
  for (const auto& [answer, name] : names) EXPECT_EQ(decode_name(answer), name);
}

TEST(Payloads, NameValidation) {
  const std::string too_long = "InvalidParameter(\"Device name too long (max 15 chars)\")";
  const std::string bad_char =
      "InvalidParameter(\"Device name can only contain alphanumeric characters, underscore, and hyphen\")";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"abc-DEF_123", ""},
      {std::string(15, 'x'), ""},
      {std::string(16, 'x'), too_long},
      {"a b", bad_char},
      {"\xC3\xA9", bad_char},                  // one e with acute accent, 2 bytes
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", too_long},  // eight: 16 bytes
      {"dot.", bad_char},
  };
  for (const auto& [name, error] : cases) {
    auto field = encode_name(name);
    if (error.empty()) {
      ASSERT_TRUE(field) << name;
      Bytes want(16, 0);
      std::copy(name.begin(), name.end(), want.begin());
      EXPECT_EQ(Bytes(field->begin(), field->end()), want);
    } else {
      ASSERT_FALSE(field) << name;
      EXPECT_EQ(field.error().debug(), error) << name;
    }
  }
}

class ControlTest : public OneAdapterTest {
 protected:
  void SetUp() override {
    OneAdapterTest::SetUp();
    vsim_log_clear();
  }
  void script(uint8_t request, Bytes answer, int count = 1) {
    vsim_script_answer(0, request, answer.data(), answer.size(), count);
  }
};

TEST_F(ControlTest, EachOperationSendsItsRequests) {
  const UsbTransport& t = *transport;
  ASSERT_TRUE(get_device_info(t));
  ASSERT_TRUE(get_capabilities(t));
  ASSERT_TRUE(get_bt_const(t));
  ASSERT_TRUE(set_bittiming(t, BitTiming{250000, 750, 250, 0, 11, 4, 4, 12}));
  ASSERT_TRUE(set_bus_state(t, true));
  ASSERT_TRUE(get_bus_state(t));
  ASSERT_TRUE(set_mode(t, 0x03));
  ASSERT_TRUE(set_led_mode(t, 2));
  ASSERT_TRUE(get_led_mode(t));
  ASSERT_TRUE(set_device_name(t, "node1"));
  ASSERT_TRUE(get_device_name(t));
  ASSERT_TRUE(flush_tx_queue(t));
  struct Want {
    uint8_t type, request;
    uint16_t length;
    Bytes data;  // OUT payloads
  };
  Bytes bt = {0x90, 0xD0, 0x03, 0, 0xEE, 0x02, 0, 0, 0xFA, 0, 0, 0, 0, 0, 0, 0,
              11, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 12, 0, 0, 0};
  const Want want[] = {
      {0xC1, 0, 24, {}},  {0xC1, 1, 24, {}},  {0xC1, 2, 48, {}},
      {0x41, 20, 32, bt}, {0xC1, 20, 32, {}}, {0x41, 21, 4, {1, 0, 0, 0}},
      {0xC1, 21, 20, {}}, {0xC1, 21, 20, {}}, {0x41, 22, 4, {3, 0, 0, 0}},
      {0x41, 24, 4, {2, 0, 0, 0}}, {0xC1, 24, 4, {}}, {0xC1, 24, 4, {}},
      {0x41, 25, 16, {'n', 'o', 'd', 'e', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {0xC1, 25, 16, {}}, {0x41, 63, 0, {}},
  };
  auto log = vendor_log();
  ASSERT_EQ(log.size(), std::size(want));
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].type, want[i].type) << i;
    EXPECT_EQ(log[i].request, want[i].request) << i;
    EXPECT_EQ(log[i].value, 0) << i;
    EXPECT_EQ(log[i].index, 0) << i;
    EXPECT_EQ(log[i].length, want[i].length) << i;
    if (want[i].type == 0x41) {
      EXPECT_EQ(log[i].data, want[i].data) << i;
    }
  }
}

TEST_F(ControlTest, ShortAnswersFromTheAdapter) {
  script(1, Bytes(23));
  EXPECT_EQ(get_capabilities(*transport).error().debug(), "Communication(\"Invalid capabilities response\")");
  script(1, Bytes(24));
  EXPECT_TRUE(get_capabilities(*transport));
  script(24, {0x02});
  EXPECT_EQ(get_led_mode(*transport).value(), 2u);
  script(24, {}, 2);
  EXPECT_TRUE(set_led_mode(*transport, 0));
  EXPECT_EQ(set_led_mode(*transport, 1).error().debug(),
            "Hardware(\"LED mode verification failed: Requested 1, Actual 0\")");
}

TEST_F(ControlTest, BusStateVerification) {
  struct Case {
    uint32_t state;
    bool on;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {0, true, nullptr}, {1, true, nullptr}, {2, true, nullptr}, {3, true, nullptr},
      {6, true, nullptr}, {4, true, "Hardware(\"Bus state verification failed: Requested ON, Actual State 4\")"},
      {5, true, "Hardware(\"Bus state verification failed: Requested ON, Actual State 5\")"},
      {4, false, nullptr}, {5, false, nullptr},
      {3, false, "Hardware(\"Bus state verification failed: Requested OFF, Actual State 3\")"},
      {0, false, "Hardware(\"Bus state verification failed: Requested OFF, Actual State 0\")"},
      {7, false, "Hardware(\"Bus state verification failed: Requested OFF, Actual State 7\")"},
  };
  for (const auto& c : cases) {
    Bytes status(20, 0);
    status[0] = static_cast<uint8_t>(c.state);
    script(21, status);
    auto r = set_bus_state(*transport, c.on);
    if (c.error) {
      ASSERT_FALSE(r) << c.state;
      EXPECT_EQ(r.error().debug(), c.error);
    } else {
      EXPECT_TRUE(r) << c.state;
    }
  }
}

TEST_F(ControlTest, BitTimingReadBackComparesOnlyTheBitRate) {
  BitTiming sent{500000, 875, 125, 0, 13, 2, 2, 6};
  BitTiming other_sjw = sent;
  other_sjw.sjw = 1;
  auto b = encode_bittiming(other_sjw);
  script(20, Bytes(b.begin(), b.end()));
  EXPECT_TRUE(set_bittiming(*transport, sent));
  BitTiming slower = sent;
  slower.bitrate = 250000;
  b = encode_bittiming(slower);
  script(20, Bytes(b.begin(), b.end()));
  EXPECT_EQ(set_bittiming(*transport, sent).error().debug(),
            "Hardware(\"Bittiming verification failed: Requested bitrate 500000, Actual 250000\")");
  script(20, Bytes(31));
  EXPECT_EQ(set_bittiming(*transport, sent).error().debug(), "Communication(\"Invalid bittiming response\")");
}

TEST_F(ControlTest, AFailingWriteSendsNoReadBack) {
  const std::pair<uint8_t, Status (*)(const UsbTransport&)> writes[] = {
      {20, [](const UsbTransport& t) { return set_bittiming(t, BitTiming{500000, 875, 125, 0, 13, 2, 2, 6}); }},
      {21, [](const UsbTransport& t) { return set_bus_state(t, true); }},
      {24, [](const UsbTransport& t) { return set_led_mode(t, 3); }},
  };
  for (const auto& [request, write] : writes) {
    vsim_log_clear();
    vsim_fail_control(0, request, 0, -9, 1);
    auto r = write(*transport);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().debug(), "Usb(\"Control OUT failed: Pipe error\")");
    EXPECT_EQ(vendor_log().size(), 1u) << int(request);
    // and a failing read-back reports the IN failure
    vsim_fail_control(0, request, 1, -4, 1);
    EXPECT_EQ(write(*transport).error().debug(),
              "Usb(\"Control IN failed: No such device (it may have been disconnected)\")");
  }
}

TEST_F(ControlTest, InvalidNamesSendNothing) {
  EXPECT_FALSE(set_device_name(*transport, std::string(16, 'x')));
  EXPECT_FALSE(set_device_name(*transport, "bad name"));
  EXPECT_TRUE(vendor_log().empty());
  ASSERT_TRUE(set_device_name(*transport, ""));
  EXPECT_EQ(vendor_log().at(0).data, Bytes(16, 0));
}

}  // namespace
}  // namespace vorel
