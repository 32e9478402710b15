// Wake-up lateness of the periodic worker's wait (interruptible, on a condition variable) against
// an uninterruptible clock_nanosleep to the same absolute deadlines, 1 ms apart, alternating.
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform.h"

using vorel::platform::monotonic_ns;

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  vorel::platform::StopSignal stop;
  std::vector<double> late[2];
  // 100 ms of each in turn, so that both see the same machine.
  for (int round = 0; round < seconds * 10; ++round) {
    const int kind = round % 2;
    uint64_t deadline = monotonic_ns();
    for (int i = 0; i < 100; ++i) {
      deadline += 1000000;
      if (kind == 0) {
        timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
      } else {
        stop.wait_until(deadline);
      }
      late[kind].push_back((monotonic_ns() - deadline) / 1000.0);
    }
  }
  const char* names[2] = {"clock_nanosleep (uninterruptible)", "StopSignal::wait_until (interruptible)"};
  for (int k = 0; k < 2; ++k) {
    auto& v = late[k];
    std::sort(v.begin(), v.end());
    std::printf("%-40s p50 %6.1f us  p99 %6.1f us  max %7.1f us  (%zu waits)\n", names[k], v[v.size() / 2],
                v[v.size() * 99 / 100], v.back(), v.size());
  }
  return 0;
}
