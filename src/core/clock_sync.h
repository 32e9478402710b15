// The adapter's timestamp counter mapped onto the host's clock: unwrapped, offset and drift tracked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace vorel {

// Turns each frame's adapter timestamp (microseconds of a 32- or 64-bit counter) into seconds
// since the epoch, from the host's monotonic time at which the frame was read from USB.
//
// A frame is read some time after the adapter stamped it, never before, so the lower envelope of
// (host time - adapter time) over a window is the clocks' offset, and its slope over the window
// the adapter oscillator's error. Timestamps keep the adapter's spacing and follow that line; a
// better estimate is blended in at a bounded rate, never jumped to, and a frame is never placed
// after the time it was read, nor before the frame stamped before it. The monotonic time is
// turned into epoch seconds with one offset taken at construction, so a step of the wall clock
// moves no timestamp. Safe to call from several threads; frames may come slightly out of order.
class ClockSync {
 public:
  ClockSync();  // the epoch offset from the system's clocks now
  explicit ClockSync(double epoch_minus_monotonic_s) : epoch_offset_(epoch_minus_monotonic_s) {}

  // `adapter_us` as the adapter stamped it, `host_monotonic_s` when the frame was read.
  double to_epoch(uint64_t adapter_us, double host_monotonic_s);

  // The monotonic clock this class works on, in seconds.
  static double monotonic_s();
  // A monotonic time as seconds since the epoch, for what the host itself stamps.
  double host_epoch(double host_monotonic_s) const { return host_monotonic_s + epoch_offset_; }

  // Envelope buckets and the window of them the drift is fitted over.
  static constexpr double BUCKET_S = 0.25;
  static constexpr size_t WINDOW_BUCKETS = 240;
  // Fastest rate at which a better estimate is blended in: seconds per second of adapter time.
  static constexpr double SLEW = 1e-3;

 private:
  struct Point {
    double t, d;  // adapter seconds, host minus adapter seconds
  };

  double unwrap_locked(uint64_t raw, double host_s);
  void refit_locked();
  double line_locked(double t) const { return a_ + s_ * (t - t_ref_); }

  const double epoch_offset_;

  // Guards everything below; taken alone, never across anything that blocks.
  std::mutex mu_;
  bool started_ = false;
  bool wide_ = false;       // a value at or above 2^32 was seen: a 64-bit counter
  uint64_t last_raw_ = 0;   // the newest frame's raw value
  double last_host_ = 0;    // when the newest frame was read
  double last_t_ = 0;       // its unwrapped adapter seconds
  double last_out_ = 0;     // and the monotonic seconds it was given
  std::deque<Point> window_;          // bucket minima, oldest first
  std::optional<Point> bucket_;       // the current bucket's minimum
  double bucket_start_ = 0;
  double t_ref_ = 0;                  // the fitted line: d = a + s (t - t_ref)
  double a_ = 0, s_ = 0;
  double blend_ = 0;                  // what is still to be blended in at the last frame
  double blend_at_ = 0;               // adapter seconds of that frame
};

}  // namespace vorel
