// Links the Windows platform layer into a program, so every system call it names must resolve.
#include <cstdio>

#include "platform.h"

int main() {
  vorel::platform::StopSignal stop;
  vorel::platform::SpawnError error;
  auto t = vorel::platform::Thread::start("vorel-periodic-send", 2 * 1024 * 1024, [&] {
    stop.wait_until(vorel::platform::monotonic_ns() + 1000000);
  }, &error);
  stop.set();
  t.join();
  std::printf("%s\n", error.text.c_str());
  return 0;
}
