// The adapter's clock on the host's: counter unwrapping, the lower hull of read delays, the line under it.
#include "clock_sync.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform.h"

namespace vorel {

namespace {
constexpr double WRAP = 4294967296.0;  // a 32-bit microsecond counter wraps after 71.6 minutes
constexpr uint64_t WRAP_INT = uint64_t{1} << 32;

double slope_of(const ClockSync::Point& a, const ClockSync::Point& b) { return (b.d - a.d) / (b.t - a.t); }

// Whether b lies on or above the line from o to a (so a is not on the lower hull of o, a, b).
bool not_convex(const ClockSync::Point& o, const ClockSync::Point& a, const ClockSync::Point& b) {
  return (a.t - o.t) * (b.d - o.d) - (a.d - o.d) * (b.t - o.t) <= 0;
}
}  // namespace

double ClockSync::monotonic_s() { return static_cast<double>(platform::monotonic_ns()) * 1e-9; }

ClockSync::ClockSync()
    : epoch_offset_(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                    monotonic_s()) {}

std::optional<double> ClockSync::hull_slope(const std::vector<Point>& points, double* span_s) {
  if (points.size() < 2) return std::nullopt;
  // The lower hull, oldest first (the points come in time order).
  std::vector<Point> hull;
  for (const Point& p : points) {
    if (!hull.empty() && p.t <= hull.back().t) {
      if (p.d < hull.back().d) hull.back() = p;  // the same instant: the lower one counts
      continue;
    }
    while (hull.size() >= 2 && not_convex(hull[hull.size() - 2], hull.back(), p)) hull.pop_back();
    hull.push_back(p);
  }
  // Its recent part whose edges an oscillator can explain: an edge steeper than that ends at
  // reads that were late (a backlog read at start-up), not at the clocks' offset.
  size_t k = hull.size() - 1;
  auto explicable = [](const Point& a, const Point& b) {
    return std::fabs(b.d - a.d) <= MAX_DRIFT * (b.t - a.t) + LATE_S;
  };
  while (k > 0 && explicable(hull[k - 1], hull[k])) --k;
  const double span = hull.back().t - hull[k].t;
  if (span < MIN_SLOPE_SPAN_S) return std::nullopt;
  // The secant over the newer half of that part: far from where a late start could lift it.
  const double half = span / 2, tm = hull.back().t - half;
  size_t j = k;
  while (hull[j + 1].t < tm) ++j;
  const double at_tm = hull[j].d + slope_of(hull[j], hull[j + 1]) * (tm - hull[j].t);
  if (span_s) *span_s = half;
  return (hull.back().d - at_tm) / half;
}

// Adapter seconds of `raw` since the seed. The counter's width shows only in its values, and a
// quiet spell may be longer than a 32-bit wrap, so the number of wraps comes from how much host
// time went by, not from the counter alone.
double ClockSync::unwrap_locked(uint64_t raw, double host_s) const {
  if (wide_) return last_t_ + static_cast<double>(static_cast<int64_t>(raw - last_raw_)) * 1e-6;
  double delta = static_cast<double>((raw - last_raw_) & (WRAP_INT - 1));
  double elapsed_us = (host_s - last_host_) * 1e6;
  delta += std::round((elapsed_us - delta) / WRAP) * WRAP;
  return last_t_ + delta * 1e-6;
}

// A fresh start at this frame: nothing before it says anything about the clocks now.
void ClockSync::seed_locked(uint64_t raw, double host_s) {
  started_ = true;
  wide_ = raw >= WRAP_INT;
  last_raw_ = raw;
  last_host_ = host_s;
  last_t_ = 0;
  window_.clear();
  bucket_ = Point{0, host_s};
  bucket_start_ = 0;
  tilt_ = MAX_DRIFT;
  a_ = host_s;
}

// The tilt from the hull of the minima, and the lowest line with it under them.
void ClockSync::refit_locked() {
  double span = 0;
  auto slope = hull_slope(window_, &span);  // closed buckets: a fresh one has one point yet
  tilt_ = slope ? std::min(*slope + MINIMA_SPREAD_S / span, MAX_DRIFT) : MAX_DRIFT;
  a_ = bucket_->d - tilt_ * bucket_->t;
  for (const Point& p : window_) a_ = std::min(a_, p.d - tilt_ * p.t);
}

double ClockSync::to_epoch(uint64_t adapter_us, double host_s) {
  std::lock_guard lk(mu_);
  if (!started_) {
    seed_locked(adapter_us, host_s);
    last_out_ = host_s;
    return host_s + epoch_offset_;
  }
  if (adapter_us >= WRAP_INT) wide_ = true;
  const double t = unwrap_locked(adapter_us, host_s);
  const double dt = t - last_t_, dh = host_s - last_host_;
  if (dt < -JUMP_BACK_S || dt - dh > JUMP_S + MAX_DRIFT * std::fabs(dh)) {
    // The counter restarted, or frames of an earlier session came first.
    seed_locked(adapter_us, host_s);
    last_out_ = std::max(last_out_, host_s);
    return host_s + epoch_offset_;
  }
  const double d = host_s - t;
  if (t >= bucket_start_ + BUCKET_S) {
    window_.push_back(*bucket_);
    if (window_.size() > WINDOW_BUCKETS) window_.erase(window_.begin());
    bucket_ = Point{t, d};
    bucket_start_ = t;
    refit_locked();
  } else if (d < bucket_->d) {
    bucket_ = Point{t, d};
  }
  // A frame read sooner than the line says moves the line down at once.
  a_ = std::min(a_, d - tilt_ * t);
  // On the line, so never after the read; never before the frame stamped before it.
  double out = std::min(t + line_locked(t), host_s);
  if (t >= last_t_) {
    out = std::min(std::max(out, last_out_), host_s);
    last_raw_ = adapter_us;
    last_host_ = host_s;
    last_t_ = t;
  }
  last_out_ = std::max(last_out_, out);
  return out + epoch_offset_;
}

double ClockSync::host_stamp(double host_monotonic_s) {
  std::lock_guard lk(mu_);
  return std::max(last_out_, host_monotonic_s) + epoch_offset_;
}

}  // namespace vorel
