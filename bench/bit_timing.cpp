// calculate_bittiming per call: worked example 2 (no exact match, every prescaler considered).
#include <chrono>
#include <cstdio>

#include "bit_timing.h"

int main() {
  const vorel::BitTimingConst limits{1, 16, 1, 8, 4, 1, 1024, 1};
  constexpr int CALLS = 2'000'000;
  volatile uint32_t sink = 0;
  for (int run = 0; run < 5; ++run) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < CALLS; ++i) {
      volatile uint32_t rate = 250000;  // keeps the call from being hoisted out of the loop
      auto t = vorel::calculate_bittiming(rate, 800, 48000000, limits);
      sink = sink + (t ? t->brp : 0);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("run %d: %.1f ns per call (brp %u)\n", run, 1e9 * s / CALLS, sink / ((run + 1) * CALLS));
  }
  return 0;
}
