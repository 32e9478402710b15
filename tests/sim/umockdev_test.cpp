// Tests of what only the emulated-device front end does: sysfs and udev publication, hotplug,
// several URBs in flight, discarding, and an event loop that sleeps while nothing is due.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"
#include "vsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using vorel::testing::SimTest;

class UmockdevTest : public SimTest {
 protected:
  static std::string read_file(const std::string& path) {
    std::ifstream f(std::string(vsim_umockdev_dir()) + path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  // Serials of the adapters a context lists, in its order.
  static std::vector<std::string> serials(libusb_context* ctx) {
    std::vector<std::string> out;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_handle* h = nullptr;
      libusb_device_descriptor d{};
      unsigned char s[64] = {};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &h) != 0) continue;
      if (d.iSerialNumber && libusb_get_string_descriptor_ascii(h, d.iSerialNumber, s, sizeof s) < 0) s[0] = 0;
      out.emplace_back(reinterpret_cast<char*>(s));
      libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return out;
  }

  static libusb_device_handle* open_claimed(libusb_context* ctx) {
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x16C0, 0x27D8);
    if (h && libusb_claim_interface(h, 0) != 0) {
      libusb_close(h);
      return nullptr;
    }
    return h;
  }

  static void close(libusb_device_handle* h) {
    libusb_release_interface(h, 0);
    libusb_close(h);
  }

  // A context of its own with the adapter open and claimed; released in reverse.
  struct Claimed {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    Claimed() {
      if (libusb_init(&ctx) == 0) h = open_claimed(ctx);
    }
    ~Claimed() {
      if (h) close(h);
      if (ctx) libusb_exit(ctx);
    }
  };
};

TEST_F(UmockdevTest, PublishesSysfsAttributesAndAFifoNode) {
  vsim_add_adapter("VOR.EL:CANH0001");
  vsim_add_adapter(nullptr);
  EXPECT_EQ(read_file("/sys/bus/usb/devices/1-1/busnum"), "1\n");
  EXPECT_EQ(read_file("/sys/bus/usb/devices/1-2/devnum"), "3\n");
  EXPECT_EQ(read_file("/sys/bus/usb/devices/1-1/serial"), "VOR.EL:CANH0001\n");
  std::string desc = read_file("/sys/bus/usb/devices/1-1/descriptors");
  ASSERT_GE(desc.size(), 18u + 9u);
  EXPECT_EQ(desc[0], 18);  // the device descriptor, then the configuration's
  EXPECT_EQ(desc[1], 1);
  EXPECT_EQ(desc[18 + 1], 2);
  // The node is a FIFO that is not writable while nothing can be reaped.
  std::string node = std::string(vsim_umockdev_dir()) + "/dev/bus/usb/001/002";
  struct stat st{};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  pollfd p{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  ::close(fd);
}

TEST_F(UmockdevTest, AContextSeesAdaptersComeAndGo) {
  using Serials = std::vector<std::string>;
  vsim_add_adapter("VOR.EL:CANH0001");
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  EXPECT_EQ(serials(ctx), Serials{"VOR.EL:CANH0001"});
  // A context that exists learns of changes from udev events, which libusb reads before it
  // hands out a device list.
  vsim_add_adapter("VOR.EL:CANH0002");
  EXPECT_EQ(serials(ctx), (Serials{"VOR.EL:CANH0002", "VOR.EL:CANH0001"}));
  vsim_unplug(0);
  EXPECT_EQ(serials(ctx), Serials{"VOR.EL:CANH0002"});
  vsim_reset();
  EXPECT_EQ(serials(ctx), Serials{});
  // A new adapter at the address of one just removed, complete when its event arrives.
  for (int round = 0; round < 5; ++round) {
    vsim_reset();
    vsim_add_adapter("VOR.EL:CANH0003");
    EXPECT_EQ(serials(ctx), Serials{"VOR.EL:CANH0003"}) << "round " << round;
  }
  libusb_exit(ctx);
}

TEST_F(UmockdevTest, UrbsInFlightFinishInOrderAndADiscardCancelsOne) {
  vsim_add_adapter("VOR.EL:CANH0001");
  Claimed c;
  ASSERT_NE(c.h, nullptr);
  struct Read {
    libusb_transfer* t = nullptr;
    unsigned char buf[24] = {};
    bool done = false;
  };
  std::vector<Read> reads(4);
  for (auto& r : reads) {
    r.t = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(
        r.t, c.h, 0x81, r.buf, sizeof r.buf, [](libusb_transfer* t) { static_cast<Read*>(t->user_data)->done = true; },
        &r, 0);
    ASSERT_EQ(libusb_submit_transfer(r.t), 0);
  }
  uint8_t data[1] = {0};
  for (uint8_t i = 0; i < 3; ++i) {
    data[0] = i;
    vsim_inject_frame(0, 0x100 + i, 0, 1, data, 1);
  }
  ASSERT_EQ(libusb_cancel_transfer(reads[3].t), 0);
  auto deadline = Clock::now() + std::chrono::seconds(2);
  timeval tick{0, 10000};
  while (Clock::now() < deadline && !(reads[0].done && reads[1].done && reads[2].done && reads[3].done))
    libusb_handle_events_timeout(c.ctx, &tick);
  for (uint8_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(reads[i].done);
    EXPECT_EQ(reads[i].t->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(reads[i].t->actual_length, 24);
    EXPECT_EQ(reads[i].buf[4] | reads[i].buf[5] << 8, 0x100 + i);
    EXPECT_EQ(reads[i].buf[8], i);
  }
  ASSERT_TRUE(reads[3].done);
  EXPECT_EQ(reads[3].t->status, LIBUSB_TRANSFER_CANCELLED);
  // Cancelling a finished transfer finds nothing to discard.
  EXPECT_EQ(libusb_cancel_transfer(reads[0].t), LIBUSB_ERROR_NOT_FOUND);
  for (auto& r : reads) libusb_free_transfer(r.t);
}

TEST_F(UmockdevTest, AWaitingReadHoldsUpNoOtherEndpoint) {
  vsim_add_adapter("VOR.EL:CANH0001");
  Claimed c;
  ASSERT_NE(c.h, nullptr);
  std::atomic<bool> read_done{false};
  std::thread reader([&] {
    unsigned char buf[48];
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(c.h, 0x81, buf, sizeof buf, &n, 2000), LIBUSB_ERROR_TIMEOUT);
    read_done = true;
  });
  std::this_thread::sleep_for(milliseconds(50));  // the read's URB is in flight
  unsigned char state[20];
  EXPECT_EQ(libusb_control_transfer(c.h, 0xC1, 21, 0, 0, state, sizeof state, 1000), 20);
  std::array<uint8_t, 16> rec{};
  int n = 0;
  EXPECT_EQ(libusb_bulk_transfer(c.h, 0x02, rec.data(), 16, &n, 1000), 0);
  EXPECT_EQ(n, 16);
  EXPECT_FALSE(read_done);  // both went past the waiting read
  reader.join();
}

TEST_F(UmockdevTest, ABlockedReadSleeps) {
  vsim_add_adapter("VOR.EL:CANH0001");
  Claimed c;
  ASSERT_NE(c.h, nullptr);
  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
  };
  auto cpu0 = cpu();
  unsigned char buf[48];
  int n = -1;
  EXPECT_EQ(libusb_bulk_transfer(c.h, 0x81, buf, sizeof buf, &n, 500), LIBUSB_ERROR_TIMEOUT);
  // An event loop that spun would use the whole half second.
  EXPECT_LT(cpu() - cpu0, milliseconds(200));
}

TEST_F(UmockdevTest, ClosingTheFileGivesUpItsClaim) {
  vsim_add_adapter("VOR.EL:CANH0001");
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device_handle* first = open_claimed(ctx);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(open_claimed(ctx), nullptr);  // busy while the first file is open
  libusb_close(first);                     // without releasing
  // The testbed learns of the close from the file's socket, a moment later.
  libusb_device_handle* second = nullptr;
  auto deadline = Clock::now() + std::chrono::seconds(1);
  while (!second && Clock::now() < deadline) {
    second = open_claimed(ctx);
    if (!second) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_NE(second, nullptr);
  close(second);
  libusb_exit(ctx);
}

}  // namespace
