// The device without Python: pending frames and filters, the receiver thread, periodic tasks.
#include "device.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <thread>

#include "control.h"

namespace vorel {

namespace {

bool is_timeout(const DeviceError& e) { return e.kind() == ErrorKind::Timeout; }
bool is_unplug(const DeviceError& e) { return e.libusb_code() == LIBUSB_ERROR_NO_DEVICE; }

}  // namespace

Device::Device(std::shared_ptr<UsbTransport> transport) : transport_(std::move(transport)) {}

Device::~Device() {
  watch_.stop();
  stop_receiver();
}

// --- filters ---------------------------------------------------------------------------------------

bool Device::frame_passes(const ReceivedFrame& f) {
  std::lock_guard lk(filter_lock_);
  return passes(filters_, f);
}

void Device::set_filters(std::vector<FrameFilter> filters) {
  // Replacing the list and pruning by it are one step under rx_lock_ (filter_lock_ nests inside),
  // so that a concurrent set_filters cannot prune by a list that has been replaced already.
  // Overrun marks and the host's error frames stay: no identifier filter applies to them.
  std::lock_guard lk(rx_lock_);
  {
    std::lock_guard flk(filter_lock_);
    filters_.swap(filters);
  }
  std::erase_if(rx_buffer_, [&](const RxEntry& e) {
    return e.dropped == 0 && e.origin != Origin::host_error && !frame_passes(e.frame);
  });
  frames_buffered_ = static_cast<size_t>(std::count_if(rx_buffer_.begin(), rx_buffer_.end(),
                                                       [](const RxEntry& e) { return e.dropped == 0; }));
  update_ready_locked();
}

void Device::clear_filters() {
  std::vector<FrameFilter> old;
  std::lock_guard lk(filter_lock_);
  filters_.swap(old);
}

// --- the buffer ----------------------------------------------------------------------------------

void Device::update_ready_locked() { ready_.set(!rx_buffer_.empty() || gone_ || handover_); }

std::optional<RxEntry> Device::pop_locked(bool take_marks) {
  std::optional<RxEntry> out;
  while (!out && !rx_buffer_.empty()) {
    RxEntry e = std::move(rx_buffer_.front());
    rx_buffer_.pop_front();
    if (e.dropped != 0) {
      if (e.dropped == OPEN_MARK) {
        e.dropped = episode_dropped_;
        episode_dropped_ = 0;
      }
      if (take_marks) out = std::move(e);
      continue;
    }
    --frames_buffered_;
    if (e.origin == Origin::host_error || frame_passes(e.frame)) out = std::move(e);
  }
  update_ready_locked();
  return out;
}

std::optional<RxEntry> Device::take_pending() {
  std::lock_guard lk(rx_lock_);
  return pop_locked(false);
}

Result<std::vector<RxEntry>> Device::read_once(uint64_t timeout_ms) {
  std::array<uint8_t, BULK_READ_SIZE> buf;
  auto read = transport_->bulk_read(buf, timeout_ms);
  const double host = ClockSync::monotonic_s();
  std::vector<RxEntry> out;
  if (!read) {
    if (is_timeout(read.error())) return out;
    return std::move(read).error();
  }
  if (read.value() < rx::SIZE) return out;
  for (ReceivedFrame& f : parse_rx_frames(buf, read.value())) {
    if (!frame_passes(f)) continue;
    double stamp = clock_.to_epoch(f.timestamp_us, host);
    out.push_back(RxEntry{std::move(f), stamp, 0});
  }
  return out;
}

void Device::keep_pending(std::vector<RxEntry> frames, size_t from) {
  if (from >= frames.size()) return;
  std::lock_guard lk(rx_lock_);
  for (size_t i = from; i < frames.size(); ++i) {
    rx_buffer_.push_back(std::move(frames[i]));
    ++frames_buffered_;
  }
  update_ready_locked();
}

Result<Received> Device::receive(uint64_t timeout_ns, size_t max_frames, bool take_marks) {
  Received got;
  if (receiver_running()) {
    RxEntry first;
    auto end = wait_frame(timeout_ns, take_marks, first);
    if (!end) return std::move(end).error();
    got.end = end.value();
    if (got.end == WaitEnd::frame) {
      got.entries.push_back(std::move(first));
      if (max_frames > 1) {
        auto more = take_all(std::min<size_t>(max_frames - 1, size_t{1} << 20), take_marks);
        std::move(more.begin(), more.end(), std::back_inserter(got.entries));
      }
    }
    return got;
  }
  if (auto pending = take_pending()) {
    got.entries.push_back(std::move(*pending));
    got.end = WaitEnd::frame;
    return got;
  }
  const uint64_t ms = timeout_ns == platform::NEVER
                         ? 0
                         : std::max<uint64_t>(1, timeout_ns / 1000000 + (timeout_ns % 1000000 != 0));
  auto read = read_once(ms);
  if (!read) return std::move(read).error();
  got.entries = std::move(read).value();
  if (got.entries.size() > max_frames) {
    auto split = got.entries.begin() + static_cast<std::ptrdiff_t>(max_frames);
    std::vector<RxEntry> rest(std::make_move_iterator(split), std::make_move_iterator(got.entries.end()));
    got.entries.erase(split, got.entries.end());
    keep_pending(std::move(rest), 0);
  }
  got.end = got.entries.empty() ? WaitEnd::timeout : WaitEnd::frame;
  return got;
}

// --- the receiver --------------------------------------------------------------------------------

Status Device::start_receiver(size_t capacity, size_t transfers) {
  std::lock_guard lk(receiver_lock_);
  if (receiver_.joinable()) return DeviceError::with_text(ErrorKind::InvalidParameter, "the receiver runs already");
  if (capacity == 0) return DeviceError::with_text(ErrorKind::InvalidParameter, "a receive buffer of 0 frames");
  {
    std::lock_guard rx(rx_lock_);
    capacity_ = capacity;
  }
  // Completions may come before the thread runs (another thread may handle events): the buffer
  // is bounded from here on.
  auto reader = BulkReader::start(transport_, transfers, *this);
  if (!reader) {
    std::lock_guard rx(rx_lock_);
    capacity_ = 0;
    return std::move(reader).error();
  }
  auto stop = std::make_shared<platform::StopSignal>();
  BulkReader* r = reader.value().get();
  platform::SpawnError error;
  receiver_ = platform::Thread::start(RECEIVER_NAME, RECEIVER_STACK, [this, r, stop] { receive_loop(*r, *stop); }, &error);
  if (!receiver_.joinable()) {
    reader.value().reset();  // its reads are cancelled and drained on this thread
    std::lock_guard rx(rx_lock_);
    capacity_ = 0;
    return DeviceError::with_text(ErrorKind::Internal, "Failed to spawn the receiver: " + error.text);
  }
  reader_ = std::move(reader).value();
  receiver_stop_ = std::move(stop);
  return ok_status();
}

void Device::stop_receiver() {
  std::lock_guard lk(receiver_lock_);
  if (!receiver_.joinable()) return;
  receiver_stop_->set();
  reader_->interrupt();
  receiver_.join();  // it cancels the reads and waits until they are back
  receiver_stop_.reset();
  last_max_in_flight_ = reader_->max_in_flight();
  reader_.reset();
  std::lock_guard rx(rx_lock_);
  capacity_ = 0;
  rx_cv_.notify_all();
}

void Device::receive_loop(BulkReader& reader, platform::StopSignal& stop) {
  // An unplug ends the reads by itself; anything else runs until the stop.
  while (!stop.is_set() && reader.active()) reader.handle_events(RECEIVER_WAKE_NS);
  reader.cancel_all();
  reader.drain();
}

void Device::on_read(std::span<const uint8_t> data, double host_s) {
  if (data.size() < rx::SIZE) return;
  completed_.clear();
  for (ReceivedFrame& f : parse_rx_frames(data, data.size())) {
    if (!frame_passes(f)) continue;
    double stamp = clock_.to_epoch(f.timestamp_us, host_s);
    completed_.push_back(RxEntry{std::move(f), stamp, 0});
  }
  if (completed_.empty()) return;
  std::lock_guard lk(rx_lock_);
  append_locked(completed_);
}

void Device::on_error(DeviceError error) {
  std::lock_guard lk(rx_lock_);
  (is_unplug(error) ? gone_ : handover_) = std::move(error);
  update_ready_locked();
  rx_cv_.notify_all();
}

bool Device::receiver_running() {
  std::lock_guard lk(rx_lock_);
  return capacity_ != 0;
}

void Device::enqueue_locked(RxEntry e, bool bounded) {
  if (bounded && capacity_ != 0 && frames_buffered_ >= capacity_) {
    // The newest frames are dropped: the ones already waiting keep their order. The episode's
    // mark goes right after the last frame kept, at once, so that a reader meets it as soon as it
    // has taken that frame, whether or not another frame ever comes; it takes no capacity.
    ++overruns_;
    if (episode_dropped_++ == 0)
      rx_buffer_.push_back(RxEntry{host_error_frame(HostEvent::overrun), e.host_time, OPEN_MARK});
    return;
  }
  if (episode_dropped_ != 0) close_episode_locked();
  rx_buffer_.push_back(std::move(e));
  ++frames_buffered_;
  high_water_ = std::max(high_water_, frames_buffered_);
}

// The open mark gets the episode's count: the episode ends with a frame taken in again, or with
// its mark handed out (the buffer has room by then).
void Device::close_episode_locked() {
  for (auto it = rx_buffer_.rbegin(); it != rx_buffer_.rend(); ++it) {
    if (it->dropped == OPEN_MARK) {
      it->dropped = episode_dropped_;
      break;
    }
  }
  episode_dropped_ = 0;
}

void Device::append_locked(std::vector<RxEntry>& entries) {
  for (RxEntry& e : entries) {
    ++received_;
    enqueue_locked(std::move(e), true);
  }
  update_ready_locked();
  rx_cv_.notify_all();
}

Result<WaitEnd> Device::wait_frame(uint64_t timeout_ns, bool take_marks, RxEntry& out) {
  const uint64_t deadline = platform::saturating_add(platform::monotonic_ns(), timeout_ns);
  std::unique_lock lk(rx_lock_);
  for (;;) {
    if (auto e = pop_locked(take_marks)) {
      out = std::move(*e);
      return WaitEnd::frame;
    }
    if (gone_) return *gone_;
    if (handover_) {
      DeviceError e = std::move(*handover_);
      handover_.reset();
      update_ready_locked();
      return e;
    }
    if (closing() || capacity_ == 0) return WaitEnd::stopped;
    const uint64_t now = platform::monotonic_ns();
    if (now >= deadline) return WaitEnd::timeout;
    if (platform::is_never(deadline)) {
      // Beyond some 146 years: a wait_for that long would overflow the clock and spin.
      rx_cv_.wait(lk);
    } else {
      rx_cv_.wait_for(lk, std::chrono::nanoseconds(deadline - now));
    }
  }
}

std::vector<RxEntry> Device::take_all(size_t max, bool take_marks) {
  std::vector<RxEntry> out;
  std::lock_guard lk(rx_lock_);
  while (out.size() < max) {
    auto e = pop_locked(take_marks);
    if (!e) break;
    out.push_back(std::move(*e));
  }
  return out;
}

void Device::interrupt_waits() {
  std::lock_guard lk(rx_lock_);
  closing_.store(true, std::memory_order_relaxed);
  rx_cv_.notify_all();
}

void Device::push_host(RxEntry entry) {
  std::lock_guard lk(rx_lock_);
  const bool bounded = entry.origin != Origin::host_error;
  enqueue_locked(std::move(entry), bounded);
  update_ready_locked();
  rx_cv_.notify_all();
}

// --- sending ---------------------------------------------------------------------------------------

Result<SendStep> Device::send_slice(const TxRecord& record, uint64_t deadline_ns) {
  const uint64_t now = platform::monotonic_ns();
  const uint64_t left_ms = deadline_ns > now ? (deadline_ns - now + 999999) / 1000000 : 1;
  auto written = transport_->bulk_write(record, Duration::from_millis(std::min(left_ms, SEND_SLICE_MS)));
  if (written) return SendStep::written;
  if (written.error().libusb_code() != LIBUSB_ERROR_TIMEOUT) return std::move(written).error();
  if (closing()) return SendStep::closing;
  if (platform::monotonic_ns() >= deadline_ns) return std::move(written).error();
  return SendStep::again;
}

void Device::note_written(uint32_t arb_id, bool is_ext, bool is_rtr, uint8_t dlc, std::span<const uint8_t> data,
                          bool echo) {
  note_sent(frame_wire_ns(is_ext, is_rtr, dlc, bitrate()));
  if (!echo) return;
  ReceivedFrame f{0, arb_id, is_ext, is_rtr, false, dlc, {data.begin(), data.end()}};
  push_host(RxEntry{std::move(f), clock_.host_stamp(ClockSync::monotonic_s()), 0, Origin::echo});
}

ReceivedFrame host_error_frame(HostEvent event) {
  ReceivedFrame f{0, 0, false, false, true, CAN_ERR_DLC, std::vector<uint8_t>(CAN_ERR_DLC)};
  switch (event) {
    case HostEvent::overrun:
      f.arb_id = CAN_ERR_CRTL;
      f.data[err_data::CRTL] = CAN_ERR_CRTL_RX_OVERFLOW;
      break;
    case HostEvent::bus_off: f.arb_id = CAN_ERR_BUSOFF; break;
    case HostEvent::restarted: f.arb_id = CAN_ERR_RESTARTED; break;
  }
  return f;
}

void Device::push_host_error(HostEvent event) {
  push_host(RxEntry{host_error_frame(event), clock_.host_stamp(ClockSync::monotonic_s()), 0, Origin::host_error});
}

void Device::note_sent(uint64_t wire_ns) {
  sent_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = platform::monotonic_ns();
  uint64_t at = drained_at_ns_.load(std::memory_order_relaxed);
  while (!drained_at_ns_.compare_exchange_weak(at, std::max(at, now) + wire_ns, std::memory_order_relaxed)) {
  }
  last_wire_ns_.store(wire_ns, std::memory_order_relaxed);
}

uint64_t Device::drain(uint64_t timeout_ns) {
  const uint64_t at = drained_at_ns(), now = platform::monotonic_ns();
  if (at <= now) return 0;
  const uint64_t until = std::min(at, platform::saturating_add(now, timeout_ns));
  std::this_thread::sleep_for(std::chrono::nanoseconds(until - now));
  if (until >= at) return 0;
  const uint64_t wire = std::max<uint64_t>(1, last_wire_ns_.load(std::memory_order_relaxed));
  return (at - until + wire - 1) / wire;
}

RxStats Device::stats() {
  std::lock_guard receiver(receiver_lock_);
  std::lock_guard lk(rx_lock_);
  RxStats st{sent_.load(std::memory_order_relaxed), handed_out_.load(std::memory_order_relaxed), received_, overruns_, high_water_, capacity_, frames_buffered_};
  st.transfers_in_flight = reader_ ? reader_->in_flight() : 0;
  st.max_transfers_in_flight = reader_ ? reader_->max_in_flight() : last_max_in_flight_;
  return st;
}

// --- periodic tasks ------------------------------------------------------------------------------

Result<uint32_t> Device::start_periodic(std::vector<TxRecord> records, uint64_t period_us,
                                        std::optional<uint64_t> duration_ms, bool resume) {
  if (records.empty()) return DeviceError::with_text(ErrorKind::InvalidParameter, "No frames to send");
  auto frames = std::make_shared<TaskFrames>();
  frames->records = std::move(records);
  auto stop = std::make_shared<platform::StopSignal>();
  platform::SpawnError error;
  platform::Thread thread = spawn_worker(WorkerPlan{frames, stop, transport_, period_us, duration_ms, resume}, &error);
  if (!thread.joinable())
    return DeviceError::with_text(ErrorKind::Internal, "Failed to spawn periodic thread: " + error.text);
  return registry_.add(next_task_id_, PeriodicTask{stop, frames, std::move(thread)});
}

// --- release -----------------------------------------------------------------------------------------

bool DeviceSlot::begin_release() {
  if (!gate.close()) {
    gate.wait_released();
    return false;
  }
  device->interrupt_waits();
  device->watch().stop();
  for (platform::Thread& t : device->registry().stop_all()) t.join();
  return true;
}

void DeviceSlot::end_release(std::chrono::nanoseconds wait) {
  // Calls inside end promptly once woken, except a read or write given no time-out, which may
  // block for ever: that one performs the release when it returns.
  if (gate.wait_idle_for(wait) || !gate.hand_over()) finish_release();
}

void DeviceSlot::release(std::chrono::nanoseconds wait) {
  if (begin_release()) end_release(wait);
}

ShutDown DeviceSlot::shut_down(uint64_t drain_ns, std::chrono::nanoseconds wait) {
  if (!begin_release()) return shut_down_;
  // Switching the bus off drops what still waits in the adapter's queue.
  shut_down_.left = device->drain(drain_ns);
  (void)set_bus_state(device->transport(), false);
  shut_down_.stats = device->stats();
  end_release(wait);
  return shut_down_;
}

void DeviceSlot::finish_release() {
  device.reset();  // stops the receiver; the transport goes last
  gate.released();
}

}  // namespace vorel
