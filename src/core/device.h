// One open adapter without Python: its transport, pending frames, filters, receiver and periodic tasks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bulk_reader.h"
#include "bus_watch.h"
#include "clock_sync.h"
#include "filters.h"
#include "frames.h"
#include "periodic.h"
#include "platform.h"
#include "release_gate.h"
#include "result.h"
#include "usb_transport.h"

namespace vorel {

inline constexpr const char* RECEIVER_NAME = "vorel-receive";
inline constexpr size_t RECEIVER_STACK = 256 * 1024;
// The receiver's thread looks at its stop flag at least this often; a stop also interrupts its
// wait for libusb's events at once.
inline constexpr uint64_t RECEIVER_WAKE_NS = 50'000'000;

// Where a pending frame comes from. The host's own error frames pass every filter.
enum class Origin : uint8_t {
  bus,         // read from the adapter
  host_error,  // an error frame the host made up (bus-off, restart)
  echo,        // a frame this host sent, handed back to its own reader
};

// The error frame of a HostEvent.
ReceivedFrame host_error_frame(HostEvent event);

// A frame as it waits in the device's buffer: with the host time it was read at (seconds since
// the epoch, on the adapter's clock mapped by ClockSync; 0 when not known), or, with `dropped`
// set, the mark of an overrun that ended there: that many frames found the buffer full (its frame
// is the overrun's error frame).
struct RxEntry {
  ReceivedFrame frame;
  double host_time = 0;
  uint64_t dropped = 0;
  Origin origin = Origin::bus;
};

struct RxStats {
  uint64_t sent = 0;        // frames written by note_sent's callers
  uint64_t handed_out = 0;  // frames note_handed_out's callers gave their readers
  uint64_t received = 0;    // frames the receiver put in the buffer
  uint64_t overruns = 0;    // frames it dropped because the buffer was full
  size_t high_water = 0;    // the most frames the buffer held at once
  size_t capacity = 0;      // 0 while no receiver runs
  size_t queued = 0;
  size_t transfers_in_flight = 0;      // the receiver's reads in flight now
  size_t max_transfers_in_flight = 0;  // the most at once since it started (kept after a stop)
};

// What a wait for a frame ended with.
enum class WaitEnd { frame, timeout, stopped };

// What a receive yields: entries in the adapter's order, and how its wait ended (`frame` when
// it yields any).
struct Received {
  std::vector<RxEntry> entries;
  WaitEnd end = WaitEnd::timeout;
};

// How one slice of a send ended: written, timed out with time left (the caller may run its own
// checks, then send the next slice), or timed out while the device is being released.
enum class SendStep { written, again, closing };

// Sends that may wait for room in the adapter's queue write in slices this long, so that a
// release ends a send stuck on a full queue.
inline constexpr uint64_t SEND_SLICE_MS = 50;

class Device : private ReadSink, private BusEvents {
 public:
  explicit Device(std::shared_ptr<UsbTransport> transport);
  // Stops the bus watch and the receiver (joining them); periodic workers are let go of without being stopped: they
  // hold the transport and run on until their own end.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const UsbTransport& transport() const { return *transport_; }
  const std::shared_ptr<UsbTransport>& shared_transport() const { return transport_; }

  // --- filters -----------------------------------------------------------------------------
  bool frame_passes(const ReceivedFrame& f);
  // Replaces the list and drops pending frames the new list rejects.
  void set_filters(std::vector<FrameFilter> filters);
  void clear_filters();

  // --- receiving without the receiver (one caller's read at a time is not required) -----------
  // The first pending frame that passes the filters; those that do not are dropped on the way.
  std::optional<RxEntry> take_pending();
  // One read of up to two records: the frames that pass, stamped on the host clock. A time-out
  // yields an empty list.
  Result<std::vector<RxEntry>> read_once(uint64_t timeout_ms);
  // Frames of a read that were not handed out, kept for the next call.
  void keep_pending(std::vector<RxEntry> frames, size_t from);

  // --- receiving, whichever way the device receives ----------------------------------------
  // With the receiver: waits up to `timeout_ns` for a frame, then takes what else is pending,
  // up to `max_frames` in all (at least the one waited for). Without it: a frame kept from an
  // earlier read, or else one read of this caller's (its time-out rounded up to whole
  // milliseconds, at least one, saturating at libusb's longest; exactly NEVER: no limit), the
  // frames past `max_frames` kept for later.
  // `take_marks` also hands out overrun marks.
  Result<Received> receive(uint64_t timeout_ns, size_t max_frames, bool take_marks);

  // --- the receiver ----------------------------------------------------------------------------
  // Starts the receiver: `transfers` reads kept in flight (BulkReader), their frames filtered,
  // stamped and buffered as they complete, bounded to `capacity` frames, and a thread that handles
  // the completions. An error when one runs already, or the reads or the thread cannot start.
  Status start_receiver(size_t capacity, size_t transfers = DEFAULT_RX_TRANSFERS);
  // Cancels every read, waits until all have come back (their frames kept), joins the thread;
  // pending frames stay.
  void stop_receiver();
  bool receiver_running();
  // With the receiver running: waits up to `timeout_ns` (NEVER: no limit) for a frame that
  // passes the filters. A read failure of the receiver is handed to one caller as its error;
  // once the adapter is gone, pending frames come out first, then every call gets the error.
  // `take_marks` also hands out overrun marks (otherwise they are skipped).
  Result<WaitEnd> wait_frame(uint64_t timeout_ns, bool take_marks, RxEntry& out);
  // Everything pending (up to `max`), without waiting; frames failing the filters are dropped.
  std::vector<RxEntry> take_all(size_t max, bool take_marks);
  // Wakes every waiter with WaitEnd::stopped, now and for later waits: the bus is being closed.
  // From then on closing() is true, which ends sends that wait in slices.
  void interrupt_waits();
  bool closing() const { return closing_.load(std::memory_order_relaxed); }
  // Queues a frame made on the host: an error frame (passing every filter) or the echo of a
  // frame sent (filtered as a received one). Echoes count against the receiver's capacity.
  void push_host(RxEntry entry);
  RxStats stats();
  // Counts a frame given to a reader, for stats().
  void note_handed_out() { handed_out_.fetch_add(1, std::memory_order_relaxed); }
  // A descriptor readable while frames are pending (-1 where the platform has none).
  int ready_fd() const { return ready_.fd(); }

  // --- sending -----------------------------------------------------------------------------------
  // One slice of a send that may wait until `deadline_ns` (monotonic; NEVER: no limit): one
  // write given at most SEND_SLICE_MS. A time-out past the deadline is the write's error.
  Result<SendStep> send_slice(const TxRecord& record, uint64_t deadline_ns);
  // Accounts a frame written: its wire time for drain(), and with `echo` its copy for this
  // host's readers (stamped now, filtered as a received frame; `data` as it went on the wire).
  void note_written(uint32_t arb_id, bool is_ext, bool is_rtr, uint8_t dlc, std::span<const uint8_t> data, bool echo);
  // Queues the host's error frame for `event` (bus-off, restart), past every filter.
  void push_host_error(HostEvent event);
  // Counts a frame written and when the frames written so far can have left the adapter: each
  // takes `wire_ns` after the one before (writes block while the adapter's queue is full, so
  // this stays within that queue's wire time of now).
  void note_sent(uint64_t wire_ns);
  // Waits until the frames written can have left, for up to `timeout_ns`; how many may still
  // wait in the adapter when it gives up (from their wire time), 0 when none.
  uint64_t drain(uint64_t timeout_ns);
  // The monotonic time by which they can have left (0 before any was written).
  uint64_t drained_at_ns() const { return drained_at_ns_.load(std::memory_order_relaxed); }
  // The bit rate last written to the adapter, for the frames' wire time (0 before any).
  uint32_t bitrate() const { return bitrate_.load(std::memory_order_relaxed); }
  void set_bitrate(uint32_t bitrate) { bitrate_.store(bitrate, std::memory_order_relaxed); }

  // --- periodic tasks ------------------------------------------------------------------------
  // Starts a worker sending `records` in turn every `period_us` (for `duration_ms`, or until
  // stopped), registered under a new id; `resume` as WorkerPlan has it. InvalidParameter for no
  // records, Internal when the thread cannot start.
  Result<uint32_t> start_periodic(std::vector<TxRecord> records, uint64_t period_us,
                                  std::optional<uint64_t> duration_ms, bool resume);
  PeriodicRegistry& registry() { return registry_; }
  TaskIds& task_ids() { return next_task_id_; }

  // --- the controller's state ------------------------------------------------------------------
  // Announces bus-off and restarts (error frames past every filter); see BusWatch.
  BusWatch& watch() { return watch_; }

  // --- the clock -------------------------------------------------------------------------------
  ClockSync& clock() { return clock_; }

 private:
  void receive_loop(BulkReader& reader, platform::StopSignal& stop);
  // The reader's completions, in the adapter's order, on whichever thread handles events.
  void on_read(std::span<const uint8_t> data, double host_s) override;
  void on_error(DeviceError error) override;
  void bus_event(HostEvent event) override { push_host_error(event); }
  // Queues a frame, or drops and counts it when `bounded` and the buffer is full.
  void enqueue_locked(RxEntry e, bool bounded);
  void append_locked(std::vector<RxEntry>& entries);
  void close_episode_locked();
  // The mark of an overrun still going on: its count is known when the episode ends.
  static constexpr uint64_t OPEN_MARK = UINT64_MAX;
  void update_ready_locked();
  std::optional<RxEntry> pop_locked(bool take_marks);

  // Used without a lock: every transfer is one synchronous libusb call. Declared first so that
  // it goes last, after the receiver that reads through it has been joined.
  std::shared_ptr<UsbTransport> transport_;

  // Guards rx_buffer_ and everything of the receiver's below it. Taken before filter_lock_.
  std::mutex rx_lock_;
  std::condition_variable rx_cv_;  // a frame or an error arrived, or the receiver stopped
  std::deque<RxEntry> rx_buffer_;  // pending frames, oldest first; marks take no capacity
  size_t frames_buffered_ = 0;     // frames (not marks) in rx_buffer_
  size_t capacity_ = 0;            // 0: no receiver, unbounded as the synchronous path needs
  uint64_t received_ = 0, overruns_ = 0, episode_dropped_ = 0;
  size_t high_water_ = 0;
  std::optional<DeviceError> handover_;  // a read failure for the next waiter
  std::optional<DeviceError> gone_;      // the adapter was unplugged: for every later call
  // Set once, by interrupt_waits, under rx_lock_ (so that a waiter cannot miss it between its
  // check and its wait); read with or without the lock.
  std::atomic<bool> closing_{false};

  // Guards filters_ (empty: accept everything). Innermost: nothing is taken while it is held.
  std::mutex filter_lock_;
  std::vector<FrameFilter> filters_;

  // Sending's counters: atomics, read and written without a lock.
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> handed_out_{0};
  std::atomic<uint64_t> drained_at_ns_{0};
  std::atomic<uint64_t> last_wire_ns_{0};
  std::atomic<uint32_t> bitrate_{0};

  ClockSync clock_;  // locks itself; taken alone
  platform::ReadyEvent ready_;  // set while rx_buffer_ holds something; changed under rx_lock_

  // Guards receiver_, receiver_stop_, reader_ and last_max_in_flight_, so that starts and stops
  // follow one another; taken before rx_lock_. Held across the receiver's join and the reads'
  // drain, which is safe because neither the thread nor a completion ever takes it.
  std::mutex receiver_lock_;
  platform::Thread receiver_;
  std::shared_ptr<platform::StopSignal> receiver_stop_;
  std::unique_ptr<BulkReader> reader_;  // goes before transport_: its reads end first
  size_t last_max_in_flight_ = 0;
  std::vector<RxEntry> completed_;  // scratch of on_read; completions never overlap

  PeriodicRegistry registry_;  // guarded by its own mutex, see periodic.h
  TaskIds next_task_id_;       // guarded by its own mutex, taken alone

  BusWatch watch_{transport_, *this};  // locks itself; declared last, so it stops first
};

// What a bus's shutdown left: frames that may not have reached the bus when it was switched off,
// and the counters as they stood then.
struct ShutDown {
  uint64_t left = 0;
  RxStats stats;
};

// A device and the gate every call on it passes. The device lives until it is released: by
// release(), or by the last call to leave after release() handed the release over to it.
class DeviceSlot {
 public:
  explicit DeviceSlot(std::unique_ptr<Device> d) : device(std::move(d)) {}

  // Closes the gate, wakes the calls inside (those waiting for frames or for room), stops the bus
  // watch and every periodic task, waits up to `wait` for the calls to leave; then stops the
  // receiver and closes the adapter. A call still blocked after `wait` (a read or a write given no
  // time-out) gets the release handed over and performs it when it leaves; until then the adapter
  // stays claimed. A concurrent release returns once that is done or handed over. Blocks, joins.
  void release(std::chrono::nanoseconds wait);
  // A bus's shutdown: release() with, once every task has stopped, the frames written last given
  // up to `drain_ns` to leave, the controller switched off (an adapter gone is no error: the
  // release is all there is left to do) and the counters kept. A concurrent call returns what the
  // first left once the release is done or handed over.
  ShutDown shut_down(uint64_t drain_ns, std::chrono::nanoseconds wait);
  // The release a call leaving the gate was handed (DeviceLease's destructor calls it). Blocks.
  void finish_release();

  ReleaseGate gate;
  std::unique_ptr<Device> device;  // set until the release; read by callers inside the gate

 private:
  // The first closer's start, true for it; a later one waits for the release and gets false.
  bool begin_release();
  void end_release(std::chrono::nanoseconds wait);
  // Written by the first closer before the release ends, read by later ones after it has.
  ShutDown shut_down_;
};

}  // namespace vorel
