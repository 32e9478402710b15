// ReleaseGate: calls in progress on a shared object, and the one release that waits them out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorel {

// Each call enters before it uses the object and leaves after; once release has begun no call
// enters again. The first closer waits for the calls inside to leave, releases the object and
// opens the way for every other closer, which waits for exactly that. Entering and leaving are
// one atomic operation each while no release is under way.
class ReleaseGate {
 public:
  // False once release has begun: the object must not be used.
  bool enter() noexcept {
    if (state_.fetch_add(CALL, std::memory_order_acquire) & CLOSED) {
      leave();
      return false;
    }
    return true;
  }
  void leave() noexcept {
    const uint64_t before = state_.fetch_sub(CALL, std::memory_order_release);
    if ((before & CLOSED) && before - CALL == CLOSED) {
      std::lock_guard lk(mu_);
      cv_.notify_all();
    }
  }

  // Begins the release: true for the first caller, which must then call wait_idle() and, once it
  // has released the object, released(); false for every later one, which may wait_released().
  bool close() noexcept { return (state_.fetch_or(CLOSED, std::memory_order_acq_rel) & CLOSED) == 0; }
  bool closed() const noexcept { return state_.load(std::memory_order_acquire) & CLOSED; }
  void wait_idle() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return state_.load(std::memory_order_acquire) == CLOSED; });
  }
  void released() {
    std::lock_guard lk(mu_);
    done_ = true;
    cv_.notify_all();
  }
  void wait_released() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return done_; });
  }

 private:
  static constexpr uint64_t CLOSED = 1, CALL = 2;
  std::atomic<uint64_t> state_{0};  // calls inside times CALL, plus CLOSED once closing

  // Guards done_; with cv_, lets closers sleep. Taken alone, never while anything else is held.
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

}  // namespace vorel
