// Renderings of DeviceError: display text, debug form with quoted strings, libusb code texts.
#include "device_error.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "utf8.h"

#include <libusb-1.0/libusb.h>

namespace vorel {

namespace {

struct Range {
  uint32_t lo, hi;
};

// Characters that are not printable or that extend a grapheme, from the Unicode database.
constexpr Range ESCAPED[] = {
#include "unicode_escape_table.inc"
};

bool is_escaped(uint32_t cp) {
  auto it = std::upper_bound(std::begin(ESCAPED), std::end(ESCAPED), cp,
                             [](uint32_t v, const Range& r) { return v < r.lo; });
  return it != std::begin(ESCAPED) && cp <= std::prev(it)->hi;
}

constexpr std::string_view MULTIPLE_HEADER =
    "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\n"
    "Available devices:\n";

}  // namespace

DeviceError DeviceError::with_text(ErrorKind kind, std::string text) {
  return DeviceError(kind, std::move(text), {});
}

DeviceError DeviceError::plain(ErrorKind kind) { return DeviceError(kind, {}, {}); }

DeviceError DeviceError::multiple_devices(std::vector<std::string> serials) {
  return DeviceError(ErrorKind::MultipleDevicesFound, {}, std::move(serials));
}

DeviceError DeviceError::usb_call(std::string_view step, int libusb_code) {
  std::string text(step);
  text += ": ";
  text += usb_error_text(libusb_code);
  DeviceError e = usb(std::move(text));
  e.libusb_code_ = libusb_code;
  return e;
}

bool carries_text(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Usb:
    case ErrorKind::InvalidParameter:
    case ErrorKind::Hardware:
    case ErrorKind::Communication:
    case ErrorKind::Internal:
      return true;
    default:
      return false;
  }
}

std::string_view variant_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Usb: return "Usb";
    case ErrorKind::DeviceNotFound: return "DeviceNotFound";
    case ErrorKind::DeviceInUse: return "DeviceInUse";
    case ErrorKind::MultipleDevicesFound: return "MultipleDevicesFound";
    case ErrorKind::NotOpen: return "NotOpen";
    case ErrorKind::Timeout: return "Timeout";
    case ErrorKind::RxEmpty: return "RxEmpty";
    case ErrorKind::TxFull: return "TxFull";
    case ErrorKind::InvalidParameter: return "InvalidParameter";
    case ErrorKind::Hardware: return "Hardware";
    case ErrorKind::BusOff: return "BusOff";
    case ErrorKind::BusPassive: return "BusPassive";
    case ErrorKind::Communication: return "Communication";
    case ErrorKind::Internal: return "Internal";
    case ErrorKind::TxBusy: return "TxBusy";
  }
  return "Internal";
}

std::string DeviceError::display() const {
  switch (kind_) {
    case ErrorKind::Usb: return "USB error: " + text_;
    case ErrorKind::DeviceNotFound: return "Device not found";
    case ErrorKind::DeviceInUse: return "Device is in use";
    case ErrorKind::MultipleDevicesFound: {
      std::string out(MULTIPLE_HEADER);
      for (size_t i = 0; i < serials_.size(); ++i) {
        if (i) out += '\n';
        out += "  - ";
        out += serials_[i];
      }
      return out;
    }
    case ErrorKind::NotOpen: return "Device not open";
    case ErrorKind::Timeout: return "Timeout waiting for operation";
    case ErrorKind::RxEmpty: return "Receive buffer empty";
    case ErrorKind::TxFull: return "Transmit buffer full";
    case ErrorKind::InvalidParameter: return "Invalid parameter: " + text_;
    case ErrorKind::Hardware: return "Hardware error: " + text_;
    case ErrorKind::BusOff: return "Bus off";
    case ErrorKind::BusPassive: return "Bus passive";
    case ErrorKind::Communication: return "Communication error: " + text_;
    case ErrorKind::Internal: return "Internal error: " + text_;
    case ErrorKind::TxBusy: return "TX busy - all echo slots in use";
  }
  return {};
}

std::string DeviceError::debug() const {
  std::string out(variant_name(kind_));
  if (kind_ == ErrorKind::MultipleDevicesFound) {
    out += "([";
    for (size_t i = 0; i < serials_.size(); ++i) {
      if (i) out += ", ";
      out += quote_debug(serials_[i]);
    }
    out += "])";
  } else if (carries_text(kind_)) {
    out += '(';
    out += quote_debug(text_);
    out += ')';
  }
  return out;
}

std::string quote_debug(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = utf8::next(s, i);
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (is_escaped(cp)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      utf8::append(out, cp);
    }
  }
  out += '"';
  return out;
}

}  // namespace vorel
