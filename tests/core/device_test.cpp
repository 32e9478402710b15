// The core device over the simulated adapters: pending frames, filters, and the receiver thread.
#include "device.h"

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "bulk_reader.h"
#include "control.h"
#include "release_gate.h"
#include "adapter_fixture.h"

namespace vorel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr uint64_t MS = 1000000;

class DeviceTest : public testing::OneAdapterTest {
 protected:
  void SetUp() override {
    OneAdapterTest::SetUp();
    dev = std::make_unique<Device>(std::move(transport));
  }
  void TearDown() override {
    dev.reset();
    OneAdapterTest::TearDown();
  }
  static void inject(uint32_t id, uint8_t byte = 0) { vsim_inject_frame(0, id, 0, 1, &byte, 1); }
  // The identifiers of what `wait_frame` hands out until it times out after `ms`.
  std::vector<uint32_t> drain(uint64_t ms = 50) {
    std::vector<uint32_t> ids;
    RxEntry e;
    for (;;) {
      auto r = dev->wait_frame(ms * MS, false, e);
      if (!r || r.value() != WaitEnd::frame) return ids;
      ids.push_back(e.frame.arb_id);
    }
  }
  std::unique_ptr<Device> dev;
};

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// Waits until `done` holds, for up to two seconds; true when it did.
template <typename Done>
bool eventually(Done done) {
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST_F(DeviceTest, WithoutTheReceiverReadsKeepTheRestAndFiltersPrunePending) {
  for (uint32_t id : {0x100u, 0x200u, 0x101u, 0x201u}) inject(id);
  auto read = dev->read_once(100);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 2u);  // two records a read
  EXPECT_GT((*read)[0].host_time, 1e9);
  dev->keep_pending(std::move(read).value(), 0);
  EXPECT_TRUE(readable(dev->ready_fd()));
  dev->set_filters({FrameFilter::from_tuple(0x100, 0x700, false)});
  auto first = dev->take_pending();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->frame.arb_id, 0x100u);
  EXPECT_FALSE(dev->take_pending());  // 0x200 went with set_filters
  EXPECT_FALSE(readable(dev->ready_fd()));
  // The next read filters as it reads: 0x101 passes, 0x201 does not.
  auto next = dev->read_once(100);
  ASSERT_TRUE(next);
  ASSERT_EQ(next->size(), 1u);
  EXPECT_EQ((*next)[0].frame.arb_id, 0x101u);
  auto none = dev->read_once(20);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());  // a time-out is no error
  // receive(): one read, what it yields past max_frames kept and handed out next, unread.
  dev->clear_filters();
  for (uint32_t id : {0x102u, 0x103u}) inject(id);
  std::vector<std::pair<uint32_t, WaitEnd>> got;
  for (int i = 0; i < 3; ++i) {
    auto r = dev->receive(i == 0 ? 100 * MS : 0, 1, false);
    ASSERT_TRUE(r);
    ASSERT_LE(r->entries.size(), 1u);
    got.emplace_back(r->entries.empty() ? 0 : r->entries[0].frame.arb_id, r->end);
  }
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, WaitEnd>>{
                     {0x102, WaitEnd::frame}, {0x103, WaitEnd::frame}, {0, WaitEnd::timeout}}));
}

TEST_F(DeviceTest, ReceiverBuffersInOrderAndWaitsHonourTheirTimeOut) {
  ASSERT_TRUE(dev->start_receiver(100));
  EXPECT_FALSE(dev->start_receiver(100));  // once
  EXPECT_TRUE(dev->receiver_running());
  RxEntry e;
  for (uint64_t ms : {0ull, 10ull, 50ull}) {
    auto t0 = Clock::now();
    auto r = dev->wait_frame(ms * MS, false, e);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value(), WaitEnd::timeout);
    EXPECT_GE(Clock::now() - t0, milliseconds(ms));
    EXPECT_LT(Clock::now() - t0, milliseconds(ms + 40));
  }
  for (uint32_t i = 0; i < 50; ++i) inject(0x300 + i, static_cast<uint8_t>(i));
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < 50; ++i) want.push_back(0x300 + i);
  EXPECT_EQ(drain(), want);
  auto st = dev->stats();
  EXPECT_EQ(st.received, 50u);
  EXPECT_EQ(st.overruns, 0u);
  EXPECT_EQ(st.capacity, 100u);
  // A waiter is woken by a frame that arrives while it waits.
  std::thread later([] {
    std::this_thread::sleep_for(milliseconds(30));
    inject(0x7F0);
  });
  auto r = dev->wait_frame(platform::NEVER, false, e);
  later.join();
  ASSERT_TRUE(r);
  EXPECT_EQ(e.frame.arb_id, 0x7F0u);
  // So is one whose time-out is too long for the clock (10^13 ms): it waits, it does not spin.
  std::thread later2([] {
    std::this_thread::sleep_for(milliseconds(300));
    inject(0x7F1);
  });
  const std::clock_t cpu0 = std::clock();
  r = dev->wait_frame(10'000'000'000'000ull * MS, false, e);
  const double cpu_s = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  later2.join();
  ASSERT_TRUE(r);
  EXPECT_EQ(e.frame.arb_id, 0x7F1u);
  EXPECT_LT(cpu_s, 0.2);  // a spinning wait would take the whole 0.3 s
  auto t0 = Clock::now();
  dev->stop_receiver();
  EXPECT_LT(Clock::now() - t0, milliseconds(100));
  EXPECT_FALSE(dev->receiver_running());
}

TEST_F(DeviceTest, AFullBufferDropsTheNewestCountsThemAndMarksWhereTheOverrunEnded) {
  ASSERT_EQ(vsim_set_rx_queue(0, 1000), 0);
  ASSERT_TRUE(dev->start_receiver(10));
  for (uint32_t i = 0; i < 25; ++i) inject(i);
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (dev->stats().received < 25 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  auto st = dev->stats();
  EXPECT_EQ(st.overruns, 15u);
  EXPECT_EQ(st.high_water, 10u);
  EXPECT_EQ(st.queued, 10u);
  inject(0x55);  // the buffer is full: dropped too
  inject(0x56);
  deadline = Clock::now() + std::chrono::seconds(2);
  while (dev->stats().received < 27 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  auto kept = dev->take_all(5, true);  // room again
  ASSERT_EQ(kept.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(kept[i].frame.arb_id, i);
  inject(0x57);
  deadline = Clock::now() + std::chrono::seconds(2);
  while (dev->stats().queued < 6 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  auto rest = dev->take_all(100, true);
  ASSERT_EQ(rest.size(), 7u);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(rest[i].frame.arb_id, 5 + i);
  EXPECT_EQ(rest[5].dropped, 17u);  // the mark: the episode ended with the next frame accepted
  // It reads as SocketCAN's error frame of a lost frame: CAN_ERR_CRTL, RX overflow in byte 1.
  EXPECT_TRUE(rest[5].frame.is_err);
  EXPECT_EQ(rest[5].frame.arb_id, 0x4u);
  EXPECT_EQ(rest[5].frame.data, (std::vector<uint8_t>{0, 0x01, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(rest[6].frame.arb_id, 0x57u);
  EXPECT_EQ(dev->stats().overruns, 17u);
  // Without asking for marks, wait_frame skips them.
  for (uint32_t i = 0; i < 12; ++i) inject(0x400 + i);
  std::this_thread::sleep_for(milliseconds(50));
  auto ids = drain(20);
  ASSERT_EQ(ids.size(), 10u);
  EXPECT_EQ(ids.front(), 0x400u);
  // The mark sits right after the last frame kept, so a reader meets it with no frame after it.
  for (uint32_t i = 0; i < 13; ++i) inject(0x500 + i);
  ASSERT_TRUE(eventually([&] { return dev->stats().overruns == 17u + 2u + 3u; }));
  auto last = dev->take_all(100, true);
  ASSERT_EQ(last.size(), 11u);
  EXPECT_EQ(last[9].frame.arb_id, 0x509u);
  EXPECT_EQ(last[10].dropped, 3u);
  inject(0x600);  // a new frame after the episode was reported: no second mark
  ASSERT_TRUE(eventually([&] { return dev->stats().queued == 1; }));
  auto after = dev->take_all(100, true);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].frame.arb_id, 0x600u);
}

TEST_F(DeviceTest, ReadFailuresAreHandedOverAndAnUnplugEndsEveryWaitAfterThePendingFrames) {
  ASSERT_TRUE(dev->start_receiver(100));
  vsim_fail_bulk(0, 0x81, -1, 0, 1);  // one I/O error
  RxEntry e;
  auto r = dev->wait_frame(500 * MS, false, e);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "USB error: Bulk read failed: Input/Output Error");
  inject(0x10);  // the receiver reads on after it
  r = dev->wait_frame(500 * MS, false, e);
  ASSERT_TRUE(r);
  EXPECT_EQ(e.frame.arb_id, 0x10u);

  inject(0x11);
  inject(0x12);
  std::this_thread::sleep_for(milliseconds(30));
  vsim_unplug(0);
  EXPECT_EQ(drain(200), (std::vector<uint32_t>{0x11, 0x12}));
  auto t0 = Clock::now();
  r = dev->wait_frame(platform::NEVER, false, e);
  EXPECT_LT(Clock::now() - t0, milliseconds(150));
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().display().find("No such device"), std::string::npos);
  r = dev->wait_frame(0, false, e);  // and every later call
  ASSERT_FALSE(r);
  EXPECT_TRUE(readable(dev->ready_fd()));  // a reader must come and learn of it
}

TEST_F(DeviceTest, InterruptEndsEveryWaitAndTheDestructorJoinsTheReceiver) {
  ASSERT_TRUE(dev->start_receiver(100));
  Result<WaitEnd> got = WaitEnd::frame;
  std::thread waiter([&] {
    RxEntry e;
    got = dev->wait_frame(platform::NEVER, false, e);
  });
  std::this_thread::sleep_for(milliseconds(20));
  dev->interrupt_waits();
  waiter.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(got.value(), WaitEnd::stopped);
  auto t0 = Clock::now();
  dev.reset();  // the receiver's read ends, and the handle with it
  EXPECT_LT(Clock::now() - t0, milliseconds(100));
}

TEST_F(DeviceTest, HostFramesJoinTheQueueInOrderErrorFramesPastTheFilters) {
  ASSERT_TRUE(dev->start_receiver(4));
  dev->set_filters({FrameFilter::from_tuple(0x100, 0x7FF, std::nullopt)});
  auto host = [](uint32_t id, Origin origin) {
    return RxEntry{ReceivedFrame{0, id, false, false, origin == Origin::host_error, 0, {}}, 1.0, 0, origin};
  };
  inject(0x100);
  std::this_thread::sleep_for(milliseconds(30));
  dev->push_host_error(HostEvent::bus_off);  // no filter stops it
  dev->push_host(host(0x100, Origin::echo));
  dev->push_host(host(0x200, Origin::echo));       // an echo the filters reject, for now queued
  dev->push_host(host(0x100, Origin::echo));       // the queue is full: dropped, counted
  // Pruning drops the rejected echo and keeps the error frame.
  dev->set_filters({FrameFilter::from_tuple(0x100, 0x7FF, std::nullopt)});
  EXPECT_EQ(dev->stats().queued, 3u);
  auto got = dev->take_all(10, true);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].origin, Origin::bus);
  EXPECT_EQ(got[1].frame.arb_id, 0x40u);  // CAN_ERR_BUSOFF, eight zero bytes
  EXPECT_EQ(got[1].frame.data, std::vector<uint8_t>(8));
  EXPECT_EQ(got[1].origin, Origin::host_error);
  EXPECT_EQ(got[2].origin, Origin::echo);
  EXPECT_EQ(got[3].dropped, 1u);  // the overrun's mark, right after the last frame kept
  EXPECT_EQ(dev->stats().overruns, 1u);
  dev->push_host(host(0x100, Origin::echo));  // room again, and the episode was reported
  got = dev->take_all(10, true);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].dropped, 0u);
  // Frames sent are counted, and how long they take on the wire adds up; a drain that gives up
  // says how many may still wait, one that waits long enough none.
  EXPECT_EQ(dev->drain(platform::NEVER), 0u);  // nothing sent: no wait
  const uint64_t t0 = platform::monotonic_ns();
  dev->note_sent(1 * MS);
  dev->note_sent(2 * MS);
  EXPECT_GE(dev->drained_at_ns(), t0 + 3 * MS);
  EXPECT_LE(dev->drained_at_ns(), platform::monotonic_ns() + 3 * MS);
  for (int i = 0; i < 200; ++i) dev->note_sent(1 * MS);
  EXPECT_GE(dev->drained_at_ns(), t0 + 203 * MS);
  const uint64_t left = dev->drain(20 * MS);
  const uint64_t waited_ms = (platform::monotonic_ns() - t0) / MS;
  EXPECT_LE(left, 203 - 20u);
  EXPECT_GE(left + waited_ms + 1, 203u);  // what was still to go when it gave up
  EXPECT_EQ(dev->drain(platform::NEVER), 0u);
  EXPECT_GE(platform::monotonic_ns(), t0 + 203 * MS);
  EXPECT_EQ(dev->stats().sent, 202u);
  // Once the bus closes, waits end and senders can tell.
  EXPECT_FALSE(dev->closing());
  dev->interrupt_waits();
  EXPECT_TRUE(dev->closing());
}

// The watch over a controller driven bus-off: announced once, ended on request or by itself; a
// reading that times out or a restart that fails ends nothing, the next reading tries again.
TEST_F(DeviceTest, TheBusWatchAnnouncesEachBusOffOnceAndRestartsTheController) {
  ASSERT_TRUE(set_bus_state(dev->transport(), true));
  ASSERT_TRUE(dev->start_receiver(100));
  auto next = [&](uint64_t ms) -> std::optional<RxEntry> {
    RxEntry e;
    auto r = dev->wait_frame(ms * MS, false, e);
    if (!r || r.value() != WaitEnd::frame) return std::nullopt;
    return e;
  };
  ASSERT_TRUE(dev->watch().start(20 * MS, false));
  EXPECT_FALSE(dev->watch().start(20 * MS, false));
  vsim_set_error_counters(0, 0, 256);
  auto off = next(1000);
  ASSERT_TRUE(off);
  EXPECT_EQ(off->frame.arb_id, 0x40u);
  EXPECT_EQ(off->origin, Origin::host_error);
  EXPECT_FALSE(next(200));  // some ten readings later, still once
  ASSERT_TRUE(dev->watch().restart());
  auto restarted = next(0);
  ASSERT_TRUE(restarted);
  EXPECT_EQ(restarted->frame.arb_id, 0x100u);
  EXPECT_EQ(dev->watch().stats().recoveries, 1u);
  dev->watch().stop();

  ASSERT_TRUE(dev->watch().start(20 * MS, true));
  ASSERT_EQ(vsim_fail_control(0, 21, 1, LIBUSB_ERROR_TIMEOUT, 1), 0);  // a state reading
  ASSERT_EQ(vsim_fail_control(0, 21, 0, LIBUSB_ERROR_IO, 1), 0);       // the restart's switch-off
  vsim_set_error_counters(0, 0, 256);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 2; ++i)
    if (auto e = next(3000)) ids.push_back(e->frame.arb_id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{0x40, 0x100}));
  EXPECT_EQ(dev->watch().stats().recoveries, 2u);
  EXPECT_EQ(dev->watch().stats().failed_restarts, 1u);
  auto st = get_bus_state(dev->transport());
  ASSERT_TRUE(st);
  EXPECT_EQ(st->state, 0u);
  // An unplug ends the watch by itself; the stop that follows has nothing to wait for.
  vsim_unplug(0);
  EXPECT_TRUE(eventually([&] { return !dev->watch().running(); }));
}

TEST_F(DeviceTest, SendsWaitInSlicesUntilTheirDeadlineAndEndOnceTheDeviceIsReleased) {
  const uint8_t byte = 7;
  const TxRecord record = TxFrame::to_bytes(0x123, false, false, false, 1, {&byte, 1});
  ASSERT_EQ(vsim_set_tx_fifo(0, 0), 0);  // nothing is taken: every write times out
  const auto t0 = Clock::now();
  const uint64_t deadline = platform::monotonic_ns() + 120 * MS;
  int again = 0;
  Result<SendStep> step = SendStep::again;
  while ((step = dev->send_slice(record, deadline)) && step.value() == SendStep::again) ++again;
  ASSERT_FALSE(step);
  EXPECT_EQ(step.error().libusb_code(), LIBUSB_ERROR_TIMEOUT);
  EXPECT_GE(Clock::now() - t0, milliseconds(120));
  EXPECT_LT(Clock::now() - t0, milliseconds(1000));  // generous: a loaded machine delays each slice
  EXPECT_GE(again, 1);  // 50 ms slices: 50, 50 and 20
  EXPECT_LE(again, 2);
  // Room again: written, counted, and echoed to this host's reader.
  ASSERT_EQ(vsim_set_tx_fifo(0, 16), 0);
  step = dev->send_slice(record, platform::NEVER);
  ASSERT_TRUE(step);
  EXPECT_EQ(step.value(), SendStep::written);
  dev->note_written(0x123, false, false, 1, {&byte, 1}, true);
  auto echo = dev->receive(0, 8, false);
  ASSERT_TRUE(echo);
  ASSERT_EQ(echo->entries.size(), 1u);
  EXPECT_EQ(echo->entries[0].origin, Origin::echo);
  EXPECT_EQ(echo->entries[0].frame.data, std::vector<uint8_t>{7});
  EXPECT_GT(echo->entries[0].host_time, 1e9);
  EXPECT_EQ(dev->stats().sent, 1u);
  // A release under way ends the wait of a send at its next slice.
  ASSERT_EQ(vsim_set_tx_fifo(0, 0), 0);
  dev->interrupt_waits();
  step = dev->send_slice(record, platform::NEVER);
  ASSERT_TRUE(step);
  EXPECT_EQ(step.value(), SendStep::closing);
}

TEST_F(DeviceTest, AReleaseIsHandedToTheCallThatDoesNotReturnAndAConcurrentOneWaitsForIt) {
  DeviceSlot slot(std::move(dev));
  ASSERT_TRUE(slot.gate.enter());
  std::atomic<bool> returned{false};
  std::thread blocked([&] {
    auto r = slot.device->read_once(0);  // no time-out: only the unplug below ends it
    EXPECT_FALSE(r);
    returned = true;
    if (slot.gate.leave()) slot.finish_release();
  });
  std::this_thread::sleep_for(milliseconds(20));
  const auto t0 = Clock::now();
  slot.release(milliseconds(100));
  EXPECT_GE(Clock::now() - t0, milliseconds(100));
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(slot.device);  // handed over: the adapter stays held until the call returns
  EXPECT_FALSE(slot.gate.enter());
  slot.release(milliseconds(100));  // a second release returns: the first one was handed over
  vsim_unplug(0);
  blocked.join();
  EXPECT_FALSE(slot.device);  // released by the call as it left
}

TEST_F(DeviceTest, AShutDownDrainsSwitchesTheBusOffKeepsTheCountersAndAConcurrentOneWaitsForThem) {
  ASSERT_TRUE(set_bus_state(dev->transport(), true));
  dev->note_sent(3000 * MS);  // a frame that takes 3 s to leave: the 200 ms drain gives up on it
  DeviceSlot slot(std::move(dev));
  const auto t0 = Clock::now();
  ShutDown second;
  Clock::duration second_returned{};
  std::thread other([&] {
    std::this_thread::sleep_for(milliseconds(50));
    second = slot.shut_down(0, milliseconds(100));
    second_returned = Clock::now() - t0;
  });
  const ShutDown first = slot.shut_down(200 * MS, milliseconds(100));
  EXPECT_GE(Clock::now() - t0, milliseconds(200));
  other.join();
  EXPECT_GE(second_returned, milliseconds(200));  // not before the release
  for (const ShutDown& s : {first, second}) {
    EXPECT_EQ(s.left, 1u);
    EXPECT_EQ(s.stats.sent, 1u);
  }
  EXPECT_FALSE(slot.device);
  vsim_state st{};
  ASSERT_EQ(vsim_get_state(0, &st), 0);
  EXPECT_EQ(st.bus_on, 0);
}

TEST_F(DeviceTest, ManyReadsInFlightKeepTheAdaptersOrderThroughFrameAlignedCompletions) {
  // 1 ms USB frames with latency and jitter, as WinUSB completes short reads, and another thread
  // making control requests the whole time: its synchronous transfers may run completions too.
  ASSERT_EQ(vsim_set_rx_queue(0, 5000), 0);
  ASSERT_EQ(vsim_set_usb_latency(0, 1000, 200), 0);
  ASSERT_EQ(vsim_set_usb_frame(0, 1000), 0);
  vsim_log_enable(0);
  ASSERT_TRUE(dev->start_receiver(10000, 32));
  std::atomic<bool> stop{false};
  std::thread control([&] {
    while (!stop) EXPECT_TRUE(get_bus_state(dev->transport()));
  });
  constexpr uint32_t FRAMES = 3000;
  for (uint32_t i = 0; i < FRAMES; ++i) {
    uint8_t data[2] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    vsim_inject_frame(0, i & 0x7FF, 0, 2, data, 2);
  }
  std::vector<uint32_t> got;
  RxEntry e;
  while (got.size() < FRAMES) {
    auto r = dev->wait_frame(2000 * MS, false, e);
    ASSERT_TRUE(r);
    if (r.value() != WaitEnd::frame) break;
    got.push_back(static_cast<uint32_t>(e.frame.data[0] | e.frame.data[1] << 8));
  }
  stop = true;
  control.join();
  ASSERT_EQ(got.size(), FRAMES);
  for (uint32_t i = 0; i < FRAMES; ++i) ASSERT_EQ(got[i], i) << "frame " << i << " out of order";
  auto st = dev->stats();
  EXPECT_EQ(st.max_transfers_in_flight, 32u);
  EXPECT_TRUE(eventually([&] { return dev->stats().transfers_in_flight == 32; }));  // every read resubmitted
  EXPECT_EQ(st.overruns, 0u);
}

TEST_F(DeviceTest, StoppingCancelsEveryReadInFlightAndFreesThemOnlyOnceTheyAreBack) {
  ASSERT_TRUE(set_bus_state(dev->transport(), true));
  ASSERT_EQ(vsim_set_rx_queue(0, 5000), 0);  // room enough that a busy machine loses nothing
  ASSERT_EQ(vsim_set_usb_latency(0, 1000, 200), 0);
  ASSERT_EQ(vsim_add_load(0, "100:0"), 0);  // the bus full of 0-byte frames
  ASSERT_TRUE(dev->start_receiver(1 << 20, 64));
  EXPECT_EQ(vsim_count_transfers(), 64);
  EXPECT_TRUE(eventually([&] { return dev->stats().received > 2000; }));
  auto t0 = Clock::now();
  dev->stop_receiver();
  // The drop-in aborts the process on a transfer freed in flight; none is left allocated.
  EXPECT_LT(Clock::now() - t0, milliseconds(500));
  EXPECT_EQ(vsim_count_transfers(), 0);
  auto st = dev->stats();
  EXPECT_EQ(st.transfers_in_flight, 0u);
  EXPECT_EQ(st.max_transfers_in_flight, 64u);
  // What was read before the stop stays, in order, and a synchronous read works as before.
  auto kept = dev->take_all(1 << 20, false);
  ASSERT_EQ(kept.size(), st.received);
  for (size_t i = 1; i < kept.size(); ++i)
    ASSERT_EQ(kept[i].frame.arb_id, (kept[i - 1].frame.arb_id + 1) % 2048) << "at " << i;
  auto read = dev->read_once(100);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->empty());
  // Starting again works, and so does refusing what cannot be.
  EXPECT_FALSE(dev->start_receiver(100, 0));
  EXPECT_FALSE(dev->start_receiver(100, MAX_RX_TRANSFERS + 1));
  ASSERT_TRUE(dev->start_receiver(100, 1));
  EXPECT_EQ(vsim_count_transfers(), 1);
}

TEST_F(DeviceTest, AnUnplugWhileStreamingEndsEveryReadAndTheReceiver) {
  ASSERT_TRUE(set_bus_state(dev->transport(), true));
  ASSERT_EQ(vsim_add_load(0, "100:8"), 0);
  ASSERT_TRUE(dev->start_receiver(1 << 20, 16));
  EXPECT_TRUE(eventually([&] { return dev->stats().received > 500; }));
  vsim_unplug(0);
  EXPECT_TRUE(eventually([&] { return dev->stats().transfers_in_flight == 0; }));
  RxEntry e;
  size_t frames = 0;
  for (;;) {
    auto r = dev->wait_frame(1000 * MS, false, e);
    if (!r) {
      EXPECT_EQ(r.error().display(), "USB error: Bulk read failed: No such device (it may have been disconnected)");
      break;
    }
    ASSERT_EQ(r.value(), WaitEnd::frame);
    ++frames;
  }
  EXPECT_EQ(frames, dev->stats().received);  // every frame read before the unplug came out first
  auto t0 = Clock::now();
  dev->stop_receiver();
  EXPECT_LT(Clock::now() - t0, milliseconds(100));
  EXPECT_EQ(vsim_count_transfers(), 0);
}

// What a reader's completions brought, and on which thread.
struct RecordingSink : ReadSink {
  std::mutex mu;
  std::vector<std::vector<uint8_t>> reads;
  std::vector<std::thread::id> threads;
  std::vector<std::string> errors;
  void on_read(std::span<const uint8_t> data, double) override {
    std::lock_guard lk(mu);
    reads.emplace_back(data.begin(), data.end());
    threads.push_back(std::this_thread::get_id());
  }
  void on_error(DeviceError error) override {
    std::lock_guard lk(mu);
    errors.push_back(error.display());
  }
};

TEST_F(DeviceTest, CompletionsRunOnAThreadInASynchronousTransferAndFailedReadsAreRetried) {
  RecordingSink sink;
  auto reader = BulkReader::start(dev->shared_transport(), 4, sink);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader.value()->in_flight(), 4u);
  // Nobody handles events: the reads collect the frames and wait with them.
  for (uint32_t id : {0x1u, 0x2u, 0x3u}) inject(id);
  ASSERT_TRUE(eventually([] {
    vsim_state st{};
    vsim_get_state(0, &st);
    return st.rx_queued == 0;
  }));
  std::this_thread::sleep_for(milliseconds(5));
  EXPECT_TRUE(sink.reads.empty());
  std::thread::id control_thread;
  std::thread([&] {
    control_thread = std::this_thread::get_id();
    EXPECT_TRUE(get_device_info(dev->transport()));
  }).join();
  // The three records in order, in reads of one or two as the controller collected them, each
  // called back on the thread of the control request.
  auto ids = [&] {
    std::vector<uint8_t> out;
    for (auto& r : sink.reads)
      for (size_t off = 0; off + 24 <= r.size(); off += 24) out.push_back(r[off + 4]);
    return out;
  };
  EXPECT_EQ(ids(), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_FALSE(sink.reads.empty());
  for (size_t i = 0; i < sink.reads.size(); ++i) EXPECT_EQ(sink.threads[i], control_thread);
  EXPECT_EQ(reader.value()->in_flight(), 4u);  // resubmitted from the completion

  // A failed read is reported, then submitted again after a pause.
  vsim_fail_bulk(0, 0x81, -1, 0, 1);
  ASSERT_TRUE(eventually([&] {
    reader.value()->handle_events(5 * MS);
    return !sink.errors.empty();
  }));
  EXPECT_EQ(sink.errors, std::vector<std::string>{"USB error: Bulk read failed: Input/Output Error"});
  EXPECT_TRUE(reader.value()->active());
  ASSERT_TRUE(eventually([&] {
    reader.value()->handle_events(5 * MS);
    return reader.value()->in_flight() == 4;
  }));
  inject(0x4);
  ASSERT_TRUE(eventually([&] {
    reader.value()->handle_events(5 * MS);
    return ids().size() == 4;
  }));
  EXPECT_EQ(ids().back(), 0x4);
  reader.value().reset();
  EXPECT_EQ(vsim_count_transfers(), 0);
}

TEST(ReleaseGate, TheReleaseWaitsForTheCallsInsideAndRefusesNewOnes) {
  ReleaseGate gate;
  ASSERT_TRUE(gate.enter());
  ASSERT_TRUE(gate.enter());
  std::atomic<int> phase{0};
  std::thread second_closer;
  std::thread closer([&] {
    ASSERT_TRUE(gate.close());
    gate.wait_idle();
    phase = 1;
    std::this_thread::sleep_for(milliseconds(20));
    phase = 2;
    gate.released();
  });
  while (!gate.closed()) std::this_thread::yield();
  EXPECT_FALSE(gate.enter());  // refused, and leaves nothing behind
  second_closer = std::thread([&] {
    EXPECT_FALSE(gate.close());
    gate.wait_released();
    EXPECT_EQ(phase.load(), 2);  // not before the first closer is done
  });
  EXPECT_FALSE(gate.leave());
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(phase.load(), 0);  // one call still inside
  EXPECT_FALSE(gate.leave());  // the closer waits for it: the release stays the closer's
  closer.join();
  second_closer.join();
  EXPECT_EQ(phase.load(), 2);
}

TEST(ReleaseGate, ACallThatDoesNotReturnGetsTheReleaseHandedOver) {
  ReleaseGate gate;
  ASSERT_TRUE(gate.enter());  // blocked without limit
  ASSERT_TRUE(gate.close());
  EXPECT_FALSE(gate.wait_idle_for(milliseconds(20)));
  EXPECT_TRUE(gate.hand_over());
  EXPECT_FALSE(gate.enter());
  std::thread other([&] {
    EXPECT_FALSE(gate.close());
    gate.wait_released();  // returns: the release is the blocked call's now
  });
  other.join();
  EXPECT_TRUE(gate.leave());  // the last to leave: it releases the object
  gate.released();
  // Once nobody is inside, handing over is refused: the closer releases.
  ReleaseGate idle;
  ASSERT_TRUE(idle.close());
  EXPECT_TRUE(idle.wait_idle_for(milliseconds(1)));
  EXPECT_FALSE(idle.hand_over());
}

TEST(ReleaseGate, ManyCallersAgainstOneRelease) {
  for (int round = 0; round < 20; ++round) {
    ReleaseGate gate;
    std::atomic<int> inside{0}, after_release{0};
    std::atomic<bool> released{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
      callers.emplace_back([&] {
        while (gate.enter()) {
          ++inside;
          if (released) ++after_release;  // the object is gone: must never happen
          --inside;
          EXPECT_FALSE(gate.leave());
        }
      });
    std::this_thread::sleep_for(milliseconds(2));
    ASSERT_TRUE(gate.close());
    gate.wait_idle();
    EXPECT_EQ(inside.load(), 0);
    released = true;
    gate.released();
    for (auto& c : callers) c.join();
    EXPECT_EQ(after_release.load(), 0);
  }
}

}  // namespace
}  // namespace vorel
