// Many reads in flight on the IN endpoint with libusb's asynchronous API, as USB CAN drivers keep them.
#include "bulk_reader.h"

#include <libusb.h>

#include <algorithm>
#include <array>

#include "clock_sync.h"
#include "platform.h"

namespace vorel {

namespace {

// A failing read (other than an unplug) is submitted again no sooner than this.
constexpr uint64_t RETRY_PAUSE_NS = 10'000'000;
// drain() looks again this often whether a cancelled read came back.
constexpr uint64_t DRAIN_SLICE_NS = 100'000'000;

struct TransferFree {
  void operator()(libusb_transfer* t) const noexcept { libusb_free_transfer(t); }
};

// The libusb error a transfer's status stands for, for the same texts as the synchronous read.
int code_of_status(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;
  }
}

timeval timeval_of(uint64_t ns) {
  ns = std::min<uint64_t>(ns, 3'600'000'000'000ull);  // an hour: libusb's own checks stay happy
  timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ns / 1'000'000'000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>(ns % 1'000'000'000 / 1000);
  return tv;
}

// WinUSB completes short reads about once per USB frame per transfer unless RAW_IO is on; it is
// there only from libusb 1.0.30 on, and only where the backend has it.
bool set_raw_io(libusb_device_handle* h, bool on) {
#if defined(LIBUSB_API_VERSION) && LIBUSB_API_VERSION >= 0x0100010C
  if (on && libusb_endpoint_supports_raw_io(h, ENDPOINT_IN) != 1) return false;
  return libusb_endpoint_set_raw_io(h, ENDPOINT_IN, on ? 1 : 0) == 0 && on;
#else
  (void)h;
  (void)on;
  return false;
#endif
}

}  // namespace

struct BulkReader::Slot {
  BulkReader* owner = nullptr;
  std::unique_ptr<libusb_transfer, TransferFree> transfer;
  std::array<uint8_t, BULK_READ_SIZE> buffer{};
  std::atomic<bool> in_flight{false};
  std::atomic<uint64_t> retry_at_ns{0};  // non-zero: waiting to be submitted again then
};

BulkReader::BulkReader(std::shared_ptr<UsbTransport> transport, ReadSink& sink)
    : transport_(std::move(transport)), sink_(sink) {}

Result<std::unique_ptr<BulkReader>> BulkReader::start(std::shared_ptr<UsbTransport> transport, size_t transfers,
                                                       ReadSink& sink) {
  if (transfers == 0 || transfers > MAX_RX_TRANSFERS)
    return DeviceError::with_text(ErrorKind::InvalidParameter, "reads in flight must be 1 to 256");
  std::unique_ptr<BulkReader> r(new BulkReader(std::move(transport), sink));
  for (size_t i = 0; i < transfers; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->owner = r.get();
    slot->transfer.reset(libusb_alloc_transfer(0));
    if (!slot->transfer) return DeviceError::usb_call("Failed to allocate a transfer", LIBUSB_ERROR_NO_MEM);
    libusb_fill_bulk_transfer(slot->transfer.get(), r->transport_->raw_handle(), ENDPOINT_IN, slot->buffer.data(),
                              static_cast<int>(slot->buffer.size()), &BulkReader::on_complete, slot.get(), 0);
    r->slots_.push_back(std::move(slot));
  }
  r->raw_io_ = set_raw_io(r->transport_->raw_handle(), true);
  for (auto& slot : r->slots_) {
    if (int code = r->submit(*slot); code != 0) {
      // What was submitted comes back before the reader goes (its destructor drains).
      return DeviceError::usb_call("Bulk read failed", code);
    }
  }
  return r;
}

BulkReader::~BulkReader() {
  cancel_all();
  drain();
  if (raw_io_) set_raw_io(transport_->raw_handle(), false);
}

int BulkReader::submit(Slot& slot) {
  slot.in_flight.store(true, std::memory_order_relaxed);
  size_t n = in_flight_.fetch_add(1, std::memory_order_relaxed) + 1;
  size_t seen = max_in_flight_.load(std::memory_order_relaxed);
  while (n > seen && !max_in_flight_.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
  }
  int code = libusb_submit_transfer(slot.transfer.get());
  if (code != 0) {
    slot.in_flight.store(false, std::memory_order_relaxed);
    in_flight_.fetch_sub(1, std::memory_order_relaxed);
  }
  return code;
}

void BulkReader::on_complete(libusb_transfer* t) {
  auto* slot = static_cast<Slot*>(t->user_data);
  slot->owner->complete(*slot);
}

void BulkReader::complete(Slot& slot) {
  libusb_transfer* t = slot.transfer.get();
  const double host = ClockSync::monotonic_s();
  // A failed or cancelled read may still have brought records: they come first.
  if (t->actual_length > 0)
    sink_.on_read(std::span<const uint8_t>(slot.buffer.data(), static_cast<size_t>(t->actual_length)), host);
  const int status = t->status;
  const bool stopping = stopping_.load(std::memory_order_relaxed);
  int code = 0;
  if (status == LIBUSB_TRANSFER_COMPLETED && !stopping) {
    // Resubmitted at once, and counted in flight throughout, so that drain() cannot see none in
    // flight while this one is on its way back.
    code = libusb_submit_transfer(t);
    if (code == 0) return;
  } else if (status != LIBUSB_TRANSFER_CANCELLED && !stopping) {
    code = code_of_status(status);
  } else if (!stopping) {
    // Cancelled by someone else (WinUSB aborts a whole pipe when one transfer on it is
    // cancelled): no failure of the adapter, so it is submitted again at the next turn.
    retrying_.fetch_add(1, std::memory_order_relaxed);
    slot.retry_at_ns.store(platform::monotonic_ns(), std::memory_order_relaxed);
  }
  if (code != 0) failed(slot, code);
  // The last touch of the reader: once the count drops, drain() may return and free it.
  slot.in_flight.store(false, std::memory_order_relaxed);
  in_flight_.fetch_sub(1, std::memory_order_release);
}

void BulkReader::failed(Slot& slot, int code) {
  if (code == LIBUSB_ERROR_NO_DEVICE) {
    // Reported once, by the first read that learns of it; the others end quietly.
    if (!gone_.exchange(true, std::memory_order_relaxed)) sink_.on_error(DeviceError::usb_call("Bulk read failed", code));
    return;
  }
  sink_.on_error(DeviceError::usb_call("Bulk read failed", code));
  retrying_.fetch_add(1, std::memory_order_relaxed);
  slot.retry_at_ns.store(platform::monotonic_ns() + RETRY_PAUSE_NS, std::memory_order_relaxed);
}

void BulkReader::handle_events(uint64_t timeout_ns) {
  uint64_t now = platform::monotonic_ns();
  if (retrying_.load(std::memory_order_relaxed) != 0) {
    // Wake in time for the next retry.
    for (auto& slot : slots_) {
      uint64_t at = slot->retry_at_ns.load(std::memory_order_relaxed);
      if (at != 0) timeout_ns = std::min(timeout_ns, at > now ? at - now : 0);
    }
  }
  timeval tv = timeval_of(timeout_ns);
  libusb_handle_events_timeout_completed(transport_->raw_context(), &tv, nullptr);
  if (retrying_.load(std::memory_order_relaxed) == 0 || stopping_.load(std::memory_order_relaxed)) return;
  now = platform::monotonic_ns();
  for (auto& slot : slots_) {
    uint64_t at = slot->retry_at_ns.load(std::memory_order_relaxed);
    if (at == 0 || at > now) continue;
    slot->retry_at_ns.store(0, std::memory_order_relaxed);
    retrying_.fetch_sub(1, std::memory_order_relaxed);
    if (gone_.load(std::memory_order_relaxed)) continue;
    if (int code = submit(*slot); code != 0) failed(*slot, code);
  }
}

void BulkReader::interrupt() { libusb_interrupt_event_handler(transport_->raw_context()); }

void BulkReader::cancel_all() {
  stopping_.store(true, std::memory_order_relaxed);
  for (auto& slot : slots_) {
    if (slot->retry_at_ns.exchange(0, std::memory_order_relaxed) != 0) retrying_.fetch_sub(1, std::memory_order_relaxed);
    if (slot->in_flight.load(std::memory_order_relaxed)) libusb_cancel_transfer(slot->transfer.get());
  }
}

void BulkReader::drain() {
  while (in_flight_.load(std::memory_order_acquire) != 0) {
    // A completion handled on another thread may have resubmitted a read just before stopping_
    // was set: cancelling again reaches it (libusb answers NOT_FOUND for the others).
    for (auto& slot : slots_)
      if (slot->in_flight.load(std::memory_order_relaxed)) libusb_cancel_transfer(slot->transfer.get());
    timeval tv = timeval_of(DRAIN_SLICE_NS);
    libusb_handle_events_timeout_completed(transport_->raw_context(), &tv, nullptr);
  }
}

bool BulkReader::active() const {
  // Acquire: a completion counts a retry before it releases its read, so seeing the read gone
  // means seeing the retry too.
  return in_flight_.load(std::memory_order_acquire) != 0 || retrying_.load(std::memory_order_relaxed) != 0;
}

}  // namespace vorel
