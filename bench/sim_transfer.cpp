// Cost of one simulated 16-byte bulk write from C, through the drop-in libusb (calls per second):
// the lock-free sink path, and the full path (world lock, model, transfer log).
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>

#include "vsim.h"

int main() {
  vsim_reset();
  vsim_add_adapter("VOR.EL:CANH0001");
  vsim_set_sink(0, 1);
  vsim_log_enable(0);
  libusb_context* ctx = nullptr;
  libusb_init(&ctx);
  libusb_device** list = nullptr;
  libusb_get_device_list(ctx, &list);
  libusb_device_handle* h = nullptr;
  if (libusb_open(list[0], &h) != 0 || libusb_claim_interface(h, 0) != 0) return 1;
  libusb_free_device_list(list, 1);
  unsigned char rec[16] = {0, 2, 0, 1, 0x23, 0x01, 0, 0, 0xAA, 0xBB};
  for (int run = 0; run < 6; ++run) {
    const bool logged = run >= 3;
    vsim_log_enable(logged);
    constexpr int CALLS = 2'000'000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < CALLS; ++i) {
      int n = 0;
      libusb_bulk_transfer(h, 0x02, rec, 16, &n, 100);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s: %.0f bulk writes/s (%.1f ns per call)\n", logged ? "full path, logged" : "sink fast path",
                CALLS / s, 1e9 * s / CALLS);
    vsim_log_clear();
  }
  libusb_release_interface(h, 0);
  libusb_close(h);
  libusb_exit(ctx);
  return 0;
}
