// The adapter's clock on the host's: counter unwrapping, lower envelope, drift fit, blending.
#include "clock_sync.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform.h"

namespace vorel {

namespace {
constexpr double WRAP = 4294967296.0;  // a 32-bit microsecond counter wraps after 71.6 minutes
constexpr uint64_t WRAP_INT = uint64_t{1} << 32;
}  // namespace

double ClockSync::monotonic_s() { return static_cast<double>(platform::monotonic_ns()) * 1e-9; }

ClockSync::ClockSync()
    : epoch_offset_(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                    monotonic_s()) {}

// Adapter seconds of `raw`, counted from the first frame's counter value. The counter's width
// shows only in its values, and a quiet spell may be longer than a 32-bit wrap, so the number of
// wraps comes from how much host time went by, not from the counter alone.
double ClockSync::unwrap_locked(uint64_t raw, double host_s) {
  if (raw >= WRAP_INT) wide_ = true;
  if (wide_) return last_t_ + static_cast<double>(static_cast<int64_t>(raw - last_raw_)) * 1e-6;
  double delta = static_cast<double>((raw - last_raw_) & (WRAP_INT - 1));
  double elapsed_us = (host_s - last_host_) * 1e6;
  delta += std::round((elapsed_us - delta) / WRAP) * WRAP;
  return last_t_ + delta * 1e-6;
}

// The line under the window's bucket minima: its slope by least squares, then lowered until no
// minimum lies below it.
void ClockSync::refit_locked() {
  if (window_.size() >= 2) {
    double mt = 0, md = 0;
    for (const Point& p : window_) {
      mt += p.t;
      md += p.d;
    }
    mt /= static_cast<double>(window_.size());
    md /= static_cast<double>(window_.size());
    double stt = 0, std_ = 0;
    for (const Point& p : window_) {
      stt += (p.t - mt) * (p.t - mt);
      std_ += (p.t - mt) * (p.d - md);
    }
    if (stt > 0) s_ = std_ / stt;
  }
  t_ref_ = window_.back().t;
  a_ = window_.back().d;
  for (const Point& p : window_) a_ = std::min(a_, p.d - s_ * (p.t - t_ref_));
}

double ClockSync::to_epoch(uint64_t adapter_us, double host_s) {
  std::lock_guard lk(mu_);
  if (!started_) {
    started_ = true;
    wide_ = adapter_us >= WRAP_INT;
    last_raw_ = adapter_us;
    last_host_ = host_s;
    last_t_ = wide_ ? static_cast<double>(adapter_us) * 1e-6 : 0.0;
    last_out_ = host_s;
    t_ref_ = bucket_start_ = blend_at_ = last_t_;
    a_ = host_s - last_t_;
    bucket_ = Point{last_t_, a_};
    return host_s + epoch_offset_;
  }
  const double t = unwrap_locked(adapter_us, host_s);
  const double d = host_s - t;
  auto blended = [&](double at) {
    double left = std::max(0.0, std::fabs(blend_) - SLEW * std::max(0.0, at - blend_at_));
    return std::copysign(left, blend_);
  };
  if (t >= bucket_start_ + BUCKET_S) {
    const double before = line_locked(t) + blended(t);
    window_.push_back(*bucket_);
    if (window_.size() > WINDOW_BUCKETS) window_.pop_front();
    refit_locked();
    blend_ = before - line_locked(t);
    blend_at_ = t;
    bucket_ = Point{t, d};
    bucket_start_ = t;
  } else if (d < bucket_->d) {
    bucket_ = Point{t, d};
  }
  // On the line (with what is left to blend in), never after the read, never before the frame
  // stamped before it.
  double out = std::min(t + line_locked(t) + blended(t), host_s);
  if (t >= last_t_) {
    out = std::max(out, last_out_);
    last_raw_ = adapter_us;
    last_host_ = host_s;
    last_t_ = t;
    last_out_ = out;
  }
  return out + epoch_offset_;
}

}  // namespace vorel
