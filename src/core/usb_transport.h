// UsbTransport: finding adapters, opening and claiming one, control and bulk transfers, closing.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "result.h"

struct libusb_context;
struct libusb_device_handle;

namespace vorel {

inline constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
inline constexpr size_t BULK_READ_SIZE = 64;
inline constexpr size_t SERIAL_BUFFER_SIZE = 255;

// Serials of adapters (as opposed to other devices sharing the ids) start with these ten bytes.
inline constexpr std::string_view SERIAL_PREFIX = "VOR.EL:CAN";
static_assert(SERIAL_PREFIX.size() == 10);

bool is_adapter_serial(std::string_view serial) noexcept;

// A time-out as whole seconds plus nanoseconds, able to hold any u64 count of milliseconds.
struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;
  static constexpr Duration from_millis(uint64_t ms) noexcept {
    return {ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000000u};
  }
};

// libusb takes an unsigned int of milliseconds, 0 meaning no limit. Longer waits saturate at the
// longest finite one (about 49.7 days) instead of wrapping into a short or an endless wait.
uint32_t libusb_timeout_ms(Duration timeout) noexcept;
uint32_t libusb_timeout_ms(uint64_t timeout_ms) noexcept;

// A libusb context; every transport and scan opened in it shares it, and it ends with the last.
class UsbContext {
 public:
  static Result<std::shared_ptr<UsbContext>> create();
  ~UsbContext();
  UsbContext(const UsbContext&) = delete;
  UsbContext& operator=(const UsbContext&) = delete;
  libusb_context* get() const noexcept { return ctx_; }

 private:
  explicit UsbContext(libusb_context* ctx) noexcept : ctx_(ctx) {}
  libusb_context* ctx_;
};

// One open, claimed connection to one adapter. Transfers take no lock: each is one synchronous
// libusb call, and libusb allows those from many threads at once.
class UsbTransport {
 public:
  // Takes over an open handle whose interface 0 is claimed.
  UsbTransport(std::shared_ptr<UsbContext> context, libusb_device_handle* handle) noexcept;
  ~UsbTransport();
  UsbTransport(const UsbTransport&) = delete;
  UsbTransport& operator=(const UsbTransport&) = delete;

  // The bytes received, at most `length`.
  Result<std::vector<uint8_t>> control_in(uint8_t request, uint16_t length) const;
  Status control_out(uint8_t request, std::span<const uint8_t> data) const;
  // Bytes written; a time-out or interruption after some bytes went out counts as done.
  Result<size_t> bulk_write(std::span<const uint8_t> bytes, Duration timeout) const;
  // Bytes read into `buf` (zero-filled first); Timeout when nothing came in time.
  Result<size_t> bulk_read(std::span<uint8_t> buf, uint64_t timeout_ms) const;

  // For the asynchronous reads of BulkReader, which handles events in the transport's context.
  libusb_device_handle* raw_handle() const noexcept { return handle_; }
  libusb_context* raw_context() const noexcept { return context_->get(); }

 private:
  // Destroyed last: the context must outlive the handle opened in it.
  std::shared_ptr<UsbContext> context_;
  libusb_device_handle* handle_;
  uint8_t interface_ = INTERFACE_NUMBER;
  // Guards claimed_, the interfaces this transport holds; taken only by claim, release, close.
  std::mutex claimed_mutex_;
  std::bitset<256> claimed_;
};

// What opening one device with the adapter's ids answers, to tell a user why it cannot be used.
struct AdapterProbe {
  std::optional<std::string> serial;  // when it opened and its serial could be read
  uint8_t bus = 0, address = 0;
  int open_code = 0;   // libusb_open's result (LIBUSB_ERROR_ACCESS: no permission)
  int claim_code = 0;  // libusb_claim_interface's when it opened (BUSY: held elsewhere); released again
};
// Every device with the adapter's ids, in enumeration order, opened and claimed only to see
// whether that works, then closed; nothing is sent to it.
Result<std::vector<AdapterProbe>> probe_adapters();

// Opens the adapter with exactly this serial, or the only adapter when none is given.
Result<std::shared_ptr<UsbTransport>> open_transport(std::optional<std::string_view> serial);
// Serials of the attached adapters, in enumeration order.
Result<std::vector<std::string>> list_adapter_serials();
// Serials of the adapters whose stored name equals `name` up to ASCII letter case.
Result<std::vector<std::string>> find_serials_by_name(std::string_view name);

}  // namespace vorel
