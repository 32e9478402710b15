// Platform layer: named threads with a chosen stack, a monotonic clock, precise interruptible waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace vorel::platform {

// Nanoseconds of a monotonic clock with an arbitrary epoch.
uint64_t monotonic_ns() noexcept;

// The deadline of a wait without limit. Every deadline from FAR_FUTURE on (some 146 years of
// uptime) means the same on every platform: the wait ends only when signalled.
inline constexpr uint64_t NEVER = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t FAR_FUTURE = uint64_t{1} << 62;
inline constexpr bool is_never(uint64_t deadline_ns) noexcept { return deadline_ns >= FAR_FUTURE; }

inline uint64_t saturating_add(uint64_t a, uint64_t b) noexcept {
  return a > NEVER - b ? NEVER : a + b;
}
inline uint64_t saturating_mul(uint64_t a, uint64_t b) noexcept {
  return b != 0 && a > NEVER / b ? NEVER : a * b;
}

struct SpawnError {
  int code = 0;
  std::string text;  // the operating system's text, then " (os error N)"
};

// A joinable thread. Destroying one that was neither joined nor detached detaches it.
class Thread {
 public:
  Thread() noexcept = default;
  Thread(Thread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Thread& operator=(Thread&& other) noexcept {
    if (this != &other) {
      detach();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~Thread() { detach(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread that names itself `name` (Linux keeps the first 15 bytes).
  static Thread start(const char* name, size_t stack_bytes, std::function<void()> body,
                      SpawnError* error);
  bool joinable() const noexcept { return handle_ != nullptr; }
  void join() noexcept;
  void detach() noexcept;

 private:
  struct Handle;
  Handle* handle_ = nullptr;
};

// Lowers the calling thread's timer slack so that its waits end as close to the deadline as the
// system allows (Linux adds 50 us to each wait of a normal thread otherwise).
void use_precise_timers() noexcept;

// A one-shot signal that precise waits can be interrupted by. Setting it is final.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void set() noexcept;
  bool is_set() const noexcept { return flag_.load(std::memory_order_relaxed); }
  // Waits until monotonic_ns() >= deadline_ns (never earlier) or until set(); true when set.
  bool wait_until(uint64_t deadline_ns) noexcept;

 private:
  std::atomic<bool> flag_{false};
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#ifdef _WIN32
// Fault injection for the tests of the Windows waits: while on, StopSignals are made without their
// event, and waits get no high-resolution timer, as when the system refuses to create them.
namespace faults {
void fail_event_creation(bool on) noexcept;
void fail_timer_creation(bool on) noexcept;
}  // namespace faults
#endif

// A readiness flag with a descriptor that poll() and select() see readable while it is set, so
// that an event loop can wait for it. Not synchronised: its owner changes it under a lock of its own.
class ReadyEvent {
 public:
  ReadyEvent() noexcept;
  ~ReadyEvent();
  ReadyEvent(const ReadyEvent&) = delete;
  ReadyEvent& operator=(const ReadyEvent&) = delete;

  void set(bool on) noexcept;
  int fd() const noexcept { return fd_; }  // -1 where the platform has none (Windows)

 private:
  int fd_ = -1;
  bool on_ = false;
};

}  // namespace vorel::platform
