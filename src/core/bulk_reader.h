// BulkReader: many 64-byte reads kept in flight on the adapter's IN endpoint, cancelled together.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "result.h"
#include "usb_transport.h"

struct libusb_transfer;

namespace vorel {

// Reads in flight by default. A full-speed read that collects just after a USB frame boundary
// completes at the boundary after next when completions come once per 1 ms frame (WinUSB without
// RAW_IO, hubs with split transactions), so each read carries two records about every 2 ms: 32
// reads carry a full 1 Mbit/s bus of 0-byte frames (21,300/s) with nothing to spare; 64 keep up
// through completion spikes of 2-4 ms as well (bench/README.md has the measurements).
inline constexpr size_t DEFAULT_RX_TRANSFERS = 64;
inline constexpr size_t MAX_RX_TRANSFERS = 256;

// Where completed reads go. Called in submission order, one at a time, on whichever thread is
// handling libusb's events at that moment (the reader's own, or one inside a synchronous
// transfer): the work must be short, must not block, must not take a lock that a thread waiting
// in libusb may hold, and must never touch Python.
class ReadSink {
 public:
  virtual ~ReadSink() = default;
  // `data` holds the bytes one read brought (possibly none); `host_s` is when its completion was
  // handled (ClockSync::monotonic_s()).
  virtual void on_read(std::span<const uint8_t> data, double host_s) = 0;
  // A read failed. An unplug (LIBUSB_ERROR_NO_DEVICE) ends the reader; other failures are retried.
  virtual void on_error(DeviceError error) = 0;
};

class BulkReader {
 public:
  // Submits `transfers` reads (1 to MAX_RX_TRANSFERS) on `transport`; completions go to `sink`,
  // which must outlive the reader. WinUSB's RAW_IO is switched on first where libusb offers it.
  static Result<std::unique_ptr<BulkReader>> start(std::shared_ptr<UsbTransport> transport, size_t transfers,
                                                    ReadSink& sink);
  // Cancels what is in flight and waits until every read has come back (see drain()), then frees
  // them and switches RAW_IO off again.
  ~BulkReader();
  BulkReader(const BulkReader&) = delete;
  BulkReader& operator=(const BulkReader&) = delete;

  // Handles libusb's events for up to `timeout_ns` (completions run the sink), then resubmits
  // the reads whose retry pause is over. Returns early when interrupt() is called.
  void handle_events(uint64_t timeout_ns);
  // Wakes the thread inside handle_events(); callable from any thread.
  void interrupt();
  // Cancels every read in flight; those that completed meanwhile still bring their data.
  void cancel_all();
  // Handles events until no read is in flight. libusb completes every cancelled transfer, and a
  // transfer must never be freed before it has, so this has no time limit.
  void drain();

  // True while reads are in flight or waiting to be retried: false after an unplug (or a stop)
  // once every read has come back.
  bool active() const;
  size_t in_flight() const { return in_flight_.load(std::memory_order_relaxed); }
  size_t max_in_flight() const { return max_in_flight_.load(std::memory_order_relaxed); }
  bool raw_io() const { return raw_io_; }

 private:
  struct Slot;
  BulkReader(std::shared_ptr<UsbTransport> transport, ReadSink& sink);
  static void on_complete(libusb_transfer* t);
  void complete(Slot& slot);
  // Submits a slot's read; a failure is reported as its completion would be.
  int submit(Slot& slot);
  void failed(Slot& slot, int libusb_code);

  std::shared_ptr<UsbTransport> transport_;
  ReadSink& sink_;
  std::vector<std::unique_ptr<Slot>> slots_;
  // Changed in completions (serialised by libusb's event handling) and by the owning thread;
  // atomics so that other threads may read them for statistics.
  std::atomic<size_t> in_flight_{0};
  std::atomic<size_t> max_in_flight_{0};
  std::atomic<size_t> retrying_{0};  // slots waiting for their retry pause to end
  std::atomic<bool> stopping_{false};  // set by cancel_all(): completions are not resubmitted
  std::atomic<bool> gone_{false};      // the adapter was unplugged
  bool raw_io_ = false;
};

}  // namespace vorel
