// The bus watch's thread and the restart protocol.
#include "bus_watch.h"

#include <libusb-1.0/libusb.h>

#include <chrono>

#include "control.h"

namespace vorel {

Status BusWatch::start(uint64_t period_ns, bool auto_reset) {
  std::lock_guard lk(run_lock_);
  if (thread_.joinable()) return DeviceError::with_text(ErrorKind::InvalidParameter, "The bus watch runs already");
  stop_ = std::make_shared<platform::StopSignal>();
  running_.store(true, std::memory_order_relaxed);
  platform::SpawnError error;
  thread_ = platform::Thread::start(
      WATCH_NAME, WATCH_STACK, [this, period_ns, auto_reset] { run(period_ns, auto_reset); }, &error);
  if (!thread_.joinable()) {
    running_.store(false, std::memory_order_relaxed);
    return DeviceError::with_text(ErrorKind::Internal, "Failed to spawn the bus watch: " + error.text);
  }
  return ok_status();
}

void BusWatch::stop() {
  std::lock_guard lk(run_lock_);
  if (!thread_.joinable()) return;
  stop_->set();
  thread_.join();
}

void BusWatch::run(uint64_t period_ns, bool auto_reset) {
  struct Ended {
    std::atomic<bool>& running;
    ~Ended() { running.store(false, std::memory_order_relaxed); }
  } ended{running_};
  platform::StopSignal& stop = *stop_;
  while (!stop.wait_until(platform::saturating_add(platform::monotonic_ns(), period_ns))) {
    auto status = get_bus_state(*transport_);
    if (!status) {
      if (status.error().libusb_code() == LIBUSB_ERROR_NO_DEVICE) return;  // nothing left to watch
      continue;  // a request that timed out or failed: the next reading tells
    }
    if (status->state != static_cast<uint32_t>(BusState::BusOff)) {
      bus_off_.store(false, std::memory_order_relaxed);
      continue;
    }
    if (!bus_off_.exchange(true, std::memory_order_relaxed)) events_.bus_event(HostEvent::bus_off);
    if (auto_reset && !restart()) failed_restarts_.fetch_add(1, std::memory_order_relaxed);
  }
}

Status BusWatch::restart() {
  {
    std::unique_lock lk(restart_lock_);
    if (restarting_) {
      restart_cv_.wait_for(lk, std::chrono::nanoseconds(RESTART_WAIT_NS), [&] { return !restarting_; });
      return ok_status();
    }
    restarting_ = true;
  }
  Status done = set_bus_state(*transport_, false);
  if (done) done = set_bus_state(*transport_, true);
  if (done) {
    // Counted before it is announced: a reader that meets the announcement sees the count.
    recoveries_.fetch_add(1, std::memory_order_relaxed);
    bus_off_.store(false, std::memory_order_relaxed);
    events_.bus_event(HostEvent::restarted);
  }
  {
    std::lock_guard lk(restart_lock_);
    restarting_ = false;
  }
  restart_cv_.notify_all();
  return done;
}

WatchStats BusWatch::stats() const {
  return {recoveries_.load(std::memory_order_relaxed), failed_restarts_.load(std::memory_order_relaxed)};
}

}  // namespace vorel
