// The texts of libusb's return codes, as libusb_strerror gives them: the core's messages and the
// simulated libusb's libusb_strerror both read this one table.
#pragma once

#include <libusb-1.0/libusb.h>

#include <string_view>

namespace vorel {

// The text of a libusb return code; every unknown negative value is "Other error". The texts
// are literals: data() is NUL-terminated.
constexpr std::string_view usb_error_text(int libusb_code) noexcept {
  switch (libusb_code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
  }
}

}  // namespace vorel
