// The adapter's timestamp counter mapped onto the host's clock: unwrapped, offset and drift tracked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vorel {

// Turns each frame's adapter timestamp (microseconds of a 32- or 64-bit counter) into seconds
// since the epoch, from the host's monotonic time at which the frame was read from USB.
//
// It rests on one fact: a frame is never read before it was stamped. Each frame gives a point
// (adapter time t, host read time minus t); the true offset line lies below every point, and
// late reads only add points above it. So the line is the lowest one under the recent points,
// tilted by the oscillator error: its slope comes from the lower convex hull of the minima of the
// last minute (which late reads cannot bend), plus the uncertainty of that slope, so that the
// line errs towards the read times rather than before the frames happened. A point below the
// line moves it down at once. Until the hull spans a few seconds the slope is the largest an
// oscillator may have, which keeps stamps close to the latest reads. A frame is never placed
// after the time it was read, nor before the frame stamped before it; the number of counter
// wraps comes from the host time elapsed, and a counter that jumps (a restart, frames of an
// earlier session) starts the model afresh. The monotonic time is turned into epoch seconds with
// one offset taken at construction, so a step of the wall clock moves no timestamp. Safe to call
// from several threads; frames may come slightly out of order.
class ClockSync {
 public:
  ClockSync();  // the epoch offset from the system's clocks now
  explicit ClockSync(double epoch_minus_monotonic_s) : epoch_offset_(epoch_minus_monotonic_s) {}

  // `adapter_us` as the adapter stamped it, `host_monotonic_s` when the frame was read.
  double to_epoch(uint64_t adapter_us, double host_monotonic_s);
  // A stamp for a frame the host makes itself (an echo, an error frame) at `host_monotonic_s`:
  // that time, and never before the last frame stamped, so that stamps do not go backwards.
  double host_stamp(double host_monotonic_s);

  // The monotonic clock this class works on, in seconds.
  static double monotonic_s();
  // A monotonic time as seconds since the epoch.
  double host_epoch(double host_monotonic_s) const { return host_monotonic_s + epoch_offset_; }

  // Buckets of the lower envelope (adapter seconds) and how many of them the hull spans.
  static constexpr double BUCKET_S = 0.25;
  static constexpr size_t WINDOW_BUCKETS = 240;
  // The largest oscillator error assumed, as a fraction.
  static constexpr double MAX_DRIFT = 2e-3;
  // How late the hull's minima may be relative to one another: the slope's uncertainty is this
  // over the span it was measured on.
  static constexpr double MINIMA_SPREAD_S = 1e-4;
  // An edge of the hull that rises or falls by more than MAX_DRIFT allows plus this ends at
  // reads that were late, not at the clocks' offset.
  static constexpr double LATE_S = 2e-3;
  // The hull's slope is used once its part that fits MAX_DRIFT spans this much adapter time.
  static constexpr double MIN_SLOPE_SPAN_S = 2.0;
  // A counter that goes back this much between two frames has restarted (frames are stamped in
  // the adapter's order; threads sharing a bus hand them over a few frames apart at most) ...
  static constexpr double JUMP_BACK_S = 0.1;
  // ... and one that runs this much (plus MAX_DRIFT of the host time) ahead of the host's clock
  // has jumped: a frame read late can make the next one seem ahead, by up to its lateness.
  static constexpr double JUMP_S = 1.0;

  struct Point {
    double t, d;  // adapter seconds, host minus adapter seconds
  };
  // The slope (host seconds per adapter second, minus one) of the lower hull of `points` (oldest
  // first) over its recent part, or nothing when that part is too short to tell. For tests.
  static std::optional<double> hull_slope(const std::vector<Point>& points, double* span_s = nullptr);

 private:
  void seed_locked(uint64_t raw, double host_s);
  double unwrap_locked(uint64_t raw, double host_s) const;
  void refit_locked();
  double line_locked(double t) const { return a_ + tilt_ * t; }

  const double epoch_offset_;

  // Guards everything below; taken alone, never across anything that blocks.
  std::mutex mu_;
  bool started_ = false;
  bool wide_ = false;       // a value at or above 2^32 was seen: a 64-bit counter
  uint64_t last_raw_ = 0;   // the newest frame's raw value
  double last_host_ = 0;    // when the newest frame was read
  double last_t_ = 0;       // its unwrapped adapter seconds
  double last_out_ = 0;     // and the monotonic seconds it was given
  std::vector<Point> window_;     // bucket minima, oldest first
  std::optional<Point> bucket_;   // the current bucket's minimum
  double bucket_start_ = 0;
  double tilt_ = MAX_DRIFT;       // the line's slope: the hull's plus its uncertainty
  double a_ = 0;                  // the line: d = a + tilt * t, the lowest under recent points
};

}  // namespace vorel
