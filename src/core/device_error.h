// DeviceError: the core's error enumeration, its display text and debug form, libusb code texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "usb_error_text.h"

namespace vorel {

enum class ErrorKind {
  Usb,
  DeviceNotFound,
  DeviceInUse,
  MultipleDevicesFound,
  NotOpen,
  Timeout,
  RxEmpty,
  TxFull,
  InvalidParameter,
  Hardware,
  BusOff,
  BusPassive,
  Communication,
  Internal,
  TxBusy,
};

class DeviceError {
 public:
  // Text variants: Usb, InvalidParameter, Hardware, Communication, Internal.
  static DeviceError with_text(ErrorKind kind, std::string text);
  static DeviceError plain(ErrorKind kind);
  static DeviceError multiple_devices(std::vector<std::string> serials);

  static DeviceError usb(std::string text) { return with_text(ErrorKind::Usb, std::move(text)); }
  // A failed libusb call: "{step}: {text of the code}", e.g. "Control IN failed: Pipe error".
  static DeviceError usb_call(std::string_view step, int libusb_code);

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }
  const std::vector<std::string>& serials() const noexcept { return serials_; }
  // The libusb code of a failed libusb call (usb_call), 0 for every other error.
  int libusb_code() const noexcept { return libusb_code_; }

  std::string display() const;
  std::string debug() const;

 private:
  DeviceError(ErrorKind kind, std::string text, std::vector<std::string> serials)
      : kind_(kind), text_(std::move(text)), serials_(std::move(serials)) {}

  ErrorKind kind_;
  std::string text_;                  // text variants only
  std::vector<std::string> serials_;  // MultipleDevicesFound only
  int libusb_code_ = 0;               // usb_call only
};

bool carries_text(ErrorKind kind) noexcept;
std::string_view variant_name(ErrorKind kind) noexcept;


// The text between double quotes with backslash escapes, as the debug form writes strings.
std::string quote_debug(std::string_view utf8);

}  // namespace vorel
