// Enumeration, opening, transfers and closing over the simulated adapters.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim_fixture.h"
#include "usb_transport.h"

namespace vorel {
namespace {

using testing::SimTest;
using Serials = std::vector<std::string>;

TEST(SerialTest, AdapterSerialsHaveThePrefixAndAFamilyLetter) {
  const std::pair<const char*, bool> cases[] = {
      {"VOR.EL:CANH0042", true}, {"VOR.EL:CANI0042", true}, {"VOR.EL:CANJ", true},
      {"VOR.EL:CANK0042", false}, {"VOR.EL:CAN", false}, {"vor.el:canH0042", false},
      {"VOR.EL:CAN\xC3\x89", false}, {"", false}, {"XOR.EL:CANH0042", false}, {"VOR.EL:CANh001", false},
  };
  for (auto [serial, ok] : cases) EXPECT_EQ(is_adapter_serial(serial), ok) << serial;
}

TEST(TimeoutTest, MillisecondsSaturateInsteadOfWrapping) {
  const std::pair<uint64_t, uint32_t> cases[] = {
      {0, 0}, {1, 1}, {1000, 1000}, {4294967295ull, 4294967295u}, {4294967296ull, 4294967295u},
      {4294967297ull, 4294967295u}, {UINT64_MAX, 4294967295u},
  };
  for (auto [ms, want] : cases) EXPECT_EQ(libusb_timeout_ms(ms), want) << ms;
  EXPECT_EQ(libusb_timeout_ms(Duration{4294967, 295000000}), 4294967295u);
  EXPECT_EQ(libusb_timeout_ms(Duration{4294967, 296000000}), 4294967295u);
  EXPECT_EQ(libusb_timeout_ms(Duration{1, 999999}), 1000u);
}

class TransportTest : public SimTest {};

std::string open_outcome(std::optional<std::string_view> serial) {
  auto t = open_transport(serial);
  return t ? "opened" : t.error().debug();
}

TEST_F(TransportTest, OpeningOutcomes) {
  struct Adapter {
    const char* serial;  // nullptr: no serial descriptor
    int open_error = 0;
  };
  struct Case {
    const char* what;
    std::vector<Adapter> adapters;
    std::optional<std::string> serial;
    std::string outcome;
    Serials listed;
  };
  // Serials come in the order libusb on Linux lists devices: the last one found first.
  const Case cases[] = {
      {"none", {}, std::nullopt, "DeviceNotFound", {}},
      {"one", {{"VOR.EL:CANH0001"}}, std::nullopt, "opened", {"VOR.EL:CANH0001"}},
      {"two", {{"VOR.EL:CANH0001"}, {"VOR.EL:CANJ0002"}}, std::nullopt,
       "MultipleDevicesFound([\"VOR.EL:CANJ0002\", \"VOR.EL:CANH0001\"])",
       {"VOR.EL:CANJ0002", "VOR.EL:CANH0001"}},
      {"two, one chosen by serial", {{"VOR.EL:CANH0001"}, {"VOR.EL:CANJ0002"}}, "VOR.EL:CANJ0002", "opened",
       {"VOR.EL:CANJ0002", "VOR.EL:CANH0001"}},
      {"busy only adapter", {{"VOR.EL:CANH0001", -3}}, std::nullopt, "DeviceInUse", {}},
      {"busy adapter and a free one", {{"VOR.EL:CANH0001", -3}, {"VOR.EL:CANH0002"}}, std::nullopt, "opened",
       {"VOR.EL:CANH0002"}},
      {"serial not found while one is busy", {{"VOR.EL:CANH0001", -3}}, "VOR.EL:CANH0009", "DeviceInUse", {}},
      {"serial not found", {{"VOR.EL:CANH0001"}}, "VOR.EL:CANH0009", "DeviceNotFound", {"VOR.EL:CANH0001"}},
      {"case differs", {{"VOR.EL:CANH0001"}}, "vor.el:canh0001", "DeviceNotFound", {"VOR.EL:CANH0001"}},
      {"K is no adapter", {{"VOR.EL:CANK0001"}}, std::nullopt, "DeviceNotFound", {}},
      {"K opens by its serial", {{"VOR.EL:CANK0001"}}, "VOR.EL:CANK0001", "opened", {}},
      {"ten bytes opens by serial", {{"VOR.EL:CAN"}}, "VOR.EL:CAN", "opened", {}},
      {"no serial", {{nullptr}}, std::nullopt, "DeviceNotFound", {}},
      {"foreign serial and an adapter", {{"ABC"}, {"VOR.EL:CANI0007"}}, std::nullopt, "opened",
       {"VOR.EL:CANI0007"}},
  };
  for (const auto& c : cases) {
    vsim_reset();
    for (size_t i = 0; i < c.adapters.size(); ++i) {
      int idx = vsim_add_adapter(c.adapters[i].serial);
      vsim_set_open_error(idx, c.adapters[i].open_error);
    }
    EXPECT_EQ(open_outcome(c.serial), c.outcome) << c.what;
    auto listed = list_adapter_serials();
    ASSERT_TRUE(listed) << c.what;
    EXPECT_EQ(listed.value(), c.listed) << c.what;
    EXPECT_EQ(vsim_count_handles(), 0) << c.what;
    EXPECT_EQ(vsim_count_contexts(), 0) << c.what;
  }
}

TEST_F(TransportTest, UnreadableAndMalformedSerialsAreNoSerial) {
  int a = vsim_add_adapter("VOR.EL:CANH0001");
  vsim_set_serial_mode(a, 2);
  int b = vsim_add_adapter("VOR.EL:CANH\xFF\xFE");
  vsim_set_serial_mode(b, 3);
  EXPECT_EQ(open_outcome(std::nullopt), "DeviceNotFound");
  EXPECT_EQ(open_outcome("VOR.EL:CANH0001"), "DeviceNotFound");
  EXPECT_TRUE(list_adapter_serials()->empty());
}

TEST_F(TransportTest, ScanFailuresEndTheirContext) {
  vsim_add_adapter("VOR.EL:CANH0001");
  vsim_fail_init(-11, 2);
  EXPECT_EQ(open_outcome(std::nullopt), "Usb(\"Failed to create USB context: Insufficient memory\")");
  EXPECT_EQ(list_adapter_serials().error().debug(), "Usb(\"Failed to create USB context: Insufficient memory\")");
  vsim_fail_device_list(-1, 3);
  EXPECT_EQ(open_outcome(std::nullopt), "Usb(\"Failed to enumerate devices: Input/Output Error\")");
  EXPECT_EQ(list_adapter_serials().error().debug(),
            "Usb(\"Failed to enumerate USB devices: Input/Output Error\")");
  EXPECT_EQ(find_serials_by_name("x").error().debug(), "Usb(\"Failed to enumerate devices: Input/Output Error\")");
  EXPECT_EQ(vsim_count_contexts(), 0);
}

TEST_F(TransportTest, ClaimFailureClosesTheHandle) {
  int a = vsim_add_adapter("VOR.EL:CANH0001");
  vsim_set_claim_error(a, -6);
  EXPECT_EQ(open_outcome(std::nullopt), "Usb(\"Failed to claim interface: Resource busy\")");
  vsim_set_claim_error(a, 0);
  auto first = open_transport(std::nullopt);
  ASSERT_TRUE(first);
  // A second open of the same adapter finds its interface claimed.
  EXPECT_EQ(open_outcome(std::nullopt), "Usb(\"Failed to claim interface: Resource busy\")");
  EXPECT_EQ(vsim_count_handles(), 1);
  EXPECT_EQ(vsim_count_claims(), 1);
}

TEST_F(TransportTest, TransfersAndTheirFailures) {
  int a = vsim_add_adapter("VOR.EL:CANH0001");
  auto t = open_transport(std::nullopt).value();
  // a short answer is returned as it came
  std::vector<uint8_t> twelve(12, 7);
  vsim_script_answer(a, 1, twelve.data(), twelve.size(), 1);
  EXPECT_EQ(t->control_in(1, 20).value(), twelve);
  vsim_fail_control(a, 22, 0, -9, 1);
  std::vector<uint8_t> word = {1, 0, 0, 0};
  EXPECT_EQ(t->control_out(22, word).error().debug(), "Usb(\"Control OUT failed: Pipe error\")");
  // a write that timed out after part of it went out counts as done
  vsim_fail_bulk(a, 0x02, -7, 8, 1);
  std::array<uint8_t, 16> rec{};
  EXPECT_EQ(t->bulk_write(rec, Duration::from_millis(5)).value(), 8u);
  vsim_fail_bulk(a, 0x02, -10, 0, 1);
  EXPECT_EQ(t->bulk_write(rec, Duration::from_millis(5)).error().debug(),
            "Usb(\"Bulk write failed: System call interrupted (perhaps due to signal)\")");
  // bus off: nothing drains the FIFO and the write times out with nothing sent
  vsim_set_tx_fifo(a, 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(t->bulk_write(rec, Duration::from_millis(20)).error().debug(),
            "Usb(\"Bulk write failed: Operation timed out\")");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
  std::array<uint8_t, 64> buf;
  EXPECT_EQ(t->bulk_read(buf, 10).error().debug(), "Timeout");
  vsim_fail_bulk(a, 0x81, -7, 30, 1);
  EXPECT_EQ(t->bulk_read(buf, 5).value(), 30u);
  vsim_set_stall(a, 0x81, 1);
  EXPECT_EQ(t->bulk_read(buf, 5).error().display(), "USB error: Bulk read failed: Pipe error");
  vsim_unplug(a);
  EXPECT_EQ(t->bulk_read(buf, 5).error().display(),
            "USB error: Bulk read failed: No such device (it may have been disconnected)");
  EXPECT_EQ(t->control_in(1, 24).error().debug(),
            "Usb(\"Control IN failed: No such device (it may have been disconnected)\")");
}

TEST_F(TransportTest, LastReferenceClosesEverythingEvenAfterUnplug) {
  int a = vsim_add_adapter("VOR.EL:CANH0001");
  auto t = open_transport(std::nullopt).value();
  auto copy = t;
  t.reset();
  EXPECT_EQ(vsim_count_handles(), 1);
  vsim_unplug(a);
  copy.reset();
  EXPECT_EQ(vsim_count_handles(), 0);
  EXPECT_EQ(vsim_count_claims(), 0);
  EXPECT_EQ(vsim_count_contexts(), 0);
}

TEST_F(TransportTest, OpeningSendsNothingToTheAdapter) {
  vsim_add_adapter("VOR.EL:CANH0001");
  vsim_log_clear();
  auto t = open_transport(std::nullopt);
  ASSERT_TRUE(t);
  EXPECT_TRUE(vendor_log().empty());
}

TEST_F(TransportTest, NameScan) {
  struct Adapter {
    const char* serial;
    const char* name;
    int claim_error = 0;
    int name_error = 0;
  };
  const Adapter adapters[] = {
      {"VOR.EL:CANH0001", "Node1"},  {"VOR.EL:CANH0002", "node1"},  {"VOR.EL:CANH0003", "node1 "},
      {"VOR.EL:CANK0004", "node1"},  {"VOR.EL:CANH0005", "node1", -6}, {"VOR.EL:CANH0006", "\xC3\xA9t\xC3\xA9"},
      {"VOR.EL:CANH0007", "x", 0, -9},
  };
  for (const auto& ad : adapters) {
    int i = vsim_add_adapter(ad.serial);
    vsim_set_name(i, reinterpret_cast<const uint8_t*>(ad.name), strlen(ad.name));
    vsim_set_claim_error(i, ad.claim_error);
    if (ad.name_error) vsim_fail_control(i, 25, 1, ad.name_error, -1);
  }
  EXPECT_EQ(find_serials_by_name("NODE1").value(), (Serials{"VOR.EL:CANH0002", "VOR.EL:CANH0001"}));
  EXPECT_EQ(find_serials_by_name("node1 ").value(), Serials{"VOR.EL:CANH0003"});
  EXPECT_EQ(find_serials_by_name("\xC3\xA9t\xC3\xA9").value(), Serials{"VOR.EL:CANH0006"});
  EXPECT_TRUE(find_serials_by_name("\xC3\x89T\xC3\x89").value().empty());  // no folding beyond ASCII
  EXPECT_EQ(find_serials_by_name("").value(), Serials{"VOR.EL:CANH0007"});
  EXPECT_EQ(vsim_count_claims(), 0);
}

TEST_F(TransportTest, TwoThreadsOpenTwoAdaptersAtOnce) {
  vsim_add_adapter("VOR.EL:CANH0001");
  vsim_add_adapter("VOR.EL:CANH0002");
  for (int round = 0; round < 50; ++round) {
    std::string r1, r2;
    std::thread a([&] { r1 = open_outcome("VOR.EL:CANH0001"); });
    std::thread b([&] { r2 = open_outcome("VOR.EL:CANH0002"); });
    a.join();
    b.join();
    ASSERT_EQ(r1, "opened");
    ASSERT_EQ(r2, "opened");
  }
}

}  // namespace
}  // namespace vorel
