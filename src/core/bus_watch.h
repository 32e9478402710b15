// BusWatch: reads the controller's state while the bus is open, announces each bus-off once and
// restarts the controller (on request, or after every bus-off when told to).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform.h"
#include "result.h"
#include "usb_transport.h"

namespace vorel {

// What the host tells its readers of with an error frame of its own, in SocketCAN's layout (the
// class in the identifier, eight data bytes), which loggers know: frames lost to a full buffer
// (CAN_ERR_CRTL, RX overflow), the controller gone bus-off, its restart.
enum class HostEvent { overrun, bus_off, restarted };

// Where the watch's announcements go (the device's readers); called on the watch's thread or
// the restarting caller's, never with a lock of the watch held.
struct BusEvents {
  virtual void bus_event(HostEvent event) = 0;

 protected:
  ~BusEvents() = default;
};

inline constexpr const char* WATCH_NAME = "vorel-bus-watch";
inline constexpr size_t WATCH_STACK = 128 * 1024;
// A restart another caller is doing is waited for this long at most: its two control requests
// end within their own time-outs (1 s each).
inline constexpr uint64_t RESTART_WAIT_NS = 5'000'000'000;

struct WatchStats {
  uint64_t recoveries = 0;       // restarts done, asked or automatic
  uint64_t failed_restarts = 0;  // automatic restarts that failed (each tried again later)
};

class BusWatch {
 public:
  BusWatch(std::shared_ptr<UsbTransport> transport, BusEvents& events)
      : transport_(std::move(transport)), events_(events) {}
  ~BusWatch() { stop(); }
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;

  // Reads the state every `period_ns` on a thread of its own until stop(). A reading that fails
  // is skipped (the next one is tried), except that an adapter gone ends the watch. With
  // `auto_reset` a bus-off is ended by restart(); one that fails is tried again at the next
  // reading. An error when a watch runs already or the thread cannot start.
  Status start(uint64_t period_ns, bool auto_reset);
  // Ends the watch within one control request's time-out; joins its thread.
  void stop();
  // Switches the controller off and on again, counts the recovery, then announces it. While
  // another caller restarts it already, this waits for that one (RESTART_WAIT_NS at most).
  Status restart();
  WatchStats stats() const;
  // False before start(), after stop(), and once the watch ended by itself.
  bool running() const { return running_.load(std::memory_order_relaxed); }

 private:
  void run(uint64_t period_ns, bool auto_reset);

  std::shared_ptr<UsbTransport> transport_;  // each control request is one synchronous call
  BusEvents& events_;

  // Guards thread_ and stop_, so that starts and stops follow one another. Held across the
  // join: the watch's thread never takes it.
  std::mutex run_lock_;
  platform::Thread thread_;
  std::shared_ptr<platform::StopSignal> stop_;

  // Guards restarting_, with restart_cv_: one restart at a time, its control requests made with
  // no lock held. Taken alone.
  std::mutex restart_lock_;
  std::condition_variable restart_cv_;
  bool restarting_ = false;

  std::atomic<bool> running_{false};
  std::atomic<bool> bus_off_{false};  // announced and not ended yet
  std::atomic<uint64_t> recoveries_{0}, failed_restarts_{0};
};

}  // namespace vorel
