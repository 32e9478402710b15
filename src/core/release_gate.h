// ReleaseGate: calls in progress on a shared object, and the one release that waits them out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorel {

// Each call enters before it uses the object and leaves after; once release has begun no call
// enters again. The first closer waits for the calls inside to leave, releases the object and
// opens the way for every other closer, which waits for exactly that. A call may block without
// limit (a read or write given no time-out); after a bounded wait the closer hands the release
// over instead, and the last call to leave performs it. Entering and leaving are one atomic
// operation each (one compare-and-swap to enter) while no release is under way.
class ReleaseGate {
 public:
  // False once release has begun: the object must not be used.
  bool enter() noexcept {
    // A refused call never counts as inside, so it can never be the last to leave.
    uint64_t s = state_.load(std::memory_order_relaxed);
    while (!(s & CLOSED))
      if (state_.compare_exchange_weak(s, s + CALL, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    return false;
  }
  // True for the last call to leave after the release was handed over: it must release the
  // object now, then call released().
  [[nodiscard]] bool leave() noexcept {
    const uint64_t before = state_.fetch_sub(CALL, std::memory_order_release);
    if ((before & CLOSED) && before - CALL == CLOSED) {
      std::lock_guard lk(mu_);
      cv_.notify_all();
      return handed_over_;
    }
    return false;
  }

  // Begins the release: true for the first caller, which must then call wait_idle() and, once it
  // has released the object, released(); false for every later one, which may wait_released().
  bool close() noexcept { return (state_.fetch_or(CLOSED, std::memory_order_acq_rel) & CLOSED) == 0; }
  bool closed() const noexcept { return state_.load(std::memory_order_acquire) & CLOSED; }
  void wait_idle() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return idle(); });
  }
  // The same for at most `timeout`; true when no call is inside any more.
  template <typename Duration>
  bool wait_idle_for(Duration timeout) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, timeout, [&] { return idle(); });
  }
  // Lets the last call still inside perform the release; false when none is inside any more, so
  // that the closer releases the object itself after all.
  bool hand_over() {
    std::lock_guard lk(mu_);
    if (idle()) return false;
    handed_over_ = true;
    cv_.notify_all();
    return true;
  }
  void released() {
    std::lock_guard lk(mu_);
    done_ = true;
    cv_.notify_all();
  }
  // Until the object is released, or its release handed over to a call still inside.
  void wait_released() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return done_ || handed_over_; });
  }

 private:
  static constexpr uint64_t CLOSED = 1, CALL = 2;
  std::atomic<uint64_t> state_{0};  // calls inside times CALL, plus CLOSED once closing

  bool idle() const noexcept { return state_.load(std::memory_order_acquire) == CLOSED; }

  // Guards done_ and handed_over_ (and orders the last leave against hand_over()); with cv_,
  // lets closers sleep. Taken alone, never while anything else is held.
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool handed_over_ = false;
};

}  // namespace vorel
