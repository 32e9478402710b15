// Renderings of DeviceError and the texts of libusb's return codes.
#include <gtest/gtest.h>

#include "device_error.h"

namespace vorel {
namespace {

struct Rendering {
  DeviceError error;
  const char* display;
  const char* debug;
};

TEST(DeviceError, EveryVariantRendersAsSpecified) {
  const std::string header =
      "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\n"
      "Available devices:\n";
  const Rendering cases[] = {
      {DeviceError::usb("Failed to claim interface: Access denied (insufficient permissions)"),
       "USB error: Failed to claim interface: Access denied (insufficient permissions)",
       "Usb(\"Failed to claim interface: Access denied (insufficient permissions)\")"},
      {DeviceError::plain(ErrorKind::DeviceNotFound), "Device not found", "DeviceNotFound"},
      {DeviceError::plain(ErrorKind::DeviceInUse), "Device is in use", "DeviceInUse"},
      {DeviceError::plain(ErrorKind::NotOpen), "Device not open", "NotOpen"},
      {DeviceError::plain(ErrorKind::Timeout), "Timeout waiting for operation", "Timeout"},
      {DeviceError::plain(ErrorKind::RxEmpty), "Receive buffer empty", "RxEmpty"},
      {DeviceError::plain(ErrorKind::TxFull), "Transmit buffer full", "TxFull"},
      {DeviceError::with_text(ErrorKind::InvalidParameter, "x"), "Invalid parameter: x",
       "InvalidParameter(\"x\")"},
      {DeviceError::with_text(ErrorKind::Hardware, "h"), "Hardware error: h", "Hardware(\"h\")"},
      {DeviceError::plain(ErrorKind::BusOff), "Bus off", "BusOff"},
      {DeviceError::plain(ErrorKind::BusPassive), "Bus passive", "BusPassive"},
      {DeviceError::with_text(ErrorKind::Communication, "Invalid capabilities response"),
       "Communication error: Invalid capabilities response",
       "Communication(\"Invalid capabilities response\")"},
      {DeviceError::with_text(ErrorKind::Internal, ""), "Internal error: ", "Internal(\"\")"},
      {DeviceError::plain(ErrorKind::TxBusy), "TX busy - all echo slots in use", "TxBusy"},
      {DeviceError::multiple_devices({}), "", "MultipleDevicesFound([])"},
      {DeviceError::multiple_devices({"A"}), "  - A", "MultipleDevicesFound([\"A\"])"},
      {DeviceError::multiple_devices({"VOR.EL:CANH0001", "VOR.EL:CANH0002"}),
       "  - VOR.EL:CANH0001\n  - VOR.EL:CANH0002",
       "MultipleDevicesFound([\"VOR.EL:CANH0001\", \"VOR.EL:CANH0002\"])"},
  };
  for (const auto& c : cases) {
    std::string want = c.error.kind() == ErrorKind::MultipleDevicesFound ? header + c.display
                                                                          : std::string(c.display);
    EXPECT_EQ(c.error.display(), want) << c.debug;
    EXPECT_EQ(c.error.debug(), c.debug);
  }
  EXPECT_EQ(header.size(), 99u);
}

TEST(DeviceError, QuotedStringsEscapeLikeTheDebugForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"it's", "\"it's\""},
      {"l\nr\rt\t", "\"l\\nr\\rt\\t\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"e\xcc\x81", "\"e\\u{301}\""},              // combining acute accent
      {"\xc2\xa0", "\"\\u{a0}\""},                 // no-break space is not printable
      {"\xe2\x80\x8b", "\"\\u{200b}\""},           // zero width space (format character)
      {"\xe2\x80\xa8", "\"\\u{2028}\""},           // line separator
      {"\xef\xbf\xbe", "\"\\u{fffe}\""},           // noncharacter, unassigned
      {"\xf3\xa0\x80\x81", "\"\\u{e0001}\""},      // language tag
      {"\xe0\xa4\x95\xe0\xa4\xbe", "\"\xe0\xa4\x95\xe0\xa4\xbe\""},  // spacing mark stays
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(quote_debug(in), want) << in;
  }
  EXPECT_EQ(quote_debug(std::string_view("nul\0!", 5)), "\"nul\\0!\"");
  EXPECT_EQ(DeviceError::usb("say \"hi\"").debug(), "Usb(\"say \\\"hi\\\"\")");
}

TEST(DeviceError, LibusbCodesHaveTheirTexts) {
  const std::pair<int, const char*> cases[] = {
      {-1, "Input/Output Error"},
      {-2, "Invalid parameter"},
      {-3, "Access denied (insufficient permissions)"},
      {-4, "No such device (it may have been disconnected)"},
      {-5, "Entity not found"},
      {-6, "Resource busy"},
      {-7, "Operation timed out"},
      {-8, "Overflow"},
      {-9, "Pipe error"},
      {-10, "System call interrupted (perhaps due to signal)"},
      {-11, "Insufficient memory"},
      {-12, "Operation not supported or unimplemented on this platform"},
      {-13, "Other error"},
      {-99, "Other error"},
      {-1000, "Other error"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(usb_error_text(code), text) << code;
  EXPECT_EQ(DeviceError::usb_call("Control IN failed", -9).display(),
            "USB error: Control IN failed: Pipe error");
}

TEST(DeviceError, OnlyTheTimeoutVariantSaysTimeout) {
  EXPECT_NE(DeviceError::plain(ErrorKind::Timeout).display().find("Timeout"), std::string::npos);
  EXPECT_EQ(DeviceError::usb_call("Bulk read failed", -7).display().find("Timeout"),
            std::string::npos);
}

}  // namespace
}  // namespace vorel
