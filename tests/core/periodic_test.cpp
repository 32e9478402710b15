// The periodic send worker and the task registry, observed through the simulator's transfer log.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "periodic.h"
#include "sim_fixture.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;
using testing::SimTest;

struct Sent {
  uint64_t t_ns;
  uint8_t id;  // low byte of the identifier
};

std::vector<Sent> sent_frames() {
  std::vector<Sent> out;
  for (size_t i = 0; i < vsim_log_count(); ++i) {
    vsim_log_entry e{};
    vsim_log_get(i, &e);
    if (e.kind == 1 && e.endpoint == 0x02) out.push_back({e.t_ns, e.data[4]});
  }
  return out;
}

std::vector<TxRecord> records(std::initializer_list<uint8_t> ids) {
  std::vector<TxRecord> out;
  for (uint8_t id : ids) out.push_back(TxFrame::to_bytes(id, false, false, false, 0, {}));
  return out;
}

class PeriodicTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    vsim_add_adapter("VOR.EL:CANH0001");
    vsim_set_sink(0, 1);  // every write completes at once
    transport = open_transport(std::nullopt).value();
    vsim_log_clear();
  }
  void TearDown() override {
    for (auto& t : registry.stop_all()) t.join();
    transport.reset();
    SimTest::TearDown();
  }
  // Starts a worker and registers it as start_periodic does; returns the id.
  uint32_t start(std::vector<TxRecord> frames, uint64_t period_us, std::optional<uint64_t> duration_ms,
                 bool resume = false) {
    auto f = std::make_shared<TaskFrames>();
    f->records = std::move(frames);
    auto stop = std::make_shared<platform::StopSignal>();
    platform::SpawnError err;
    auto thread = spawn_worker(WorkerPlan{f, stop, transport, period_us, duration_ms, resume}, &err);
    EXPECT_TRUE(thread.joinable()) << err.text;
    return registry.add(ids, PeriodicTask{stop, f, std::move(thread)});
  }
  void stop(uint32_t id) {
    auto t = registry.stop(id);
    ASSERT_TRUE(t);
    t->join();
  }
  // Waits until `count` frames went out.
  std::vector<Sent> wait_for(size_t count, std::chrono::milliseconds limit = 5s) {
    auto t0 = std::chrono::steady_clock::now();
    while (sent_frames().size() < count && std::chrono::steady_clock::now() - t0 < limit)
      std::this_thread::sleep_for(1ms);
    return sent_frames();
  }
  std::shared_ptr<UsbTransport> transport;
  TaskIds ids;
  PeriodicRegistry registry;
};

TEST_F(PeriodicTest, FramesGoOutInRotationOnAbsoluteDeadlines) {
  uint32_t id = start(records({0, 1, 2}), 2000, std::nullopt);
  auto sent = wait_for(200);
  stop(id);
  ASSERT_GE(sent.size(), 200u);
  const uint64_t t0 = sent[0].t_ns;
  for (size_t i = 0; i < 200; ++i) {
    EXPECT_EQ(sent[i].id, i % 3) << i;
    // Send i is due at t0 + i * 2 ms and never goes out earlier (the first write's own latency
    // is the only slack, hence the 100 us allowance).
    EXPECT_GE(sent[i].t_ns + 100'000, t0 + i * 2'000'000) << i;
  }
  // No drift: the 200th send is late by less than one period, not by the sum of wake-ups.
  EXPECT_LT(sent[199].t_ns - t0, 199u * 2'000'000 + 2'000'000);
}

TEST_F(PeriodicTest, HotSwapKeepsTheRotationPosition) {
  uint32_t id = start(records({0xF0, 0xF1, 0xF2}), 100'000, std::nullopt);
  ASSERT_EQ(wait_for(2).size(), 2u);  // F0, F1 went out; the next deadline is 100 ms away
  ASSERT_TRUE(registry.modify(id, records({0xA0, 0xA1})));
  auto sent = wait_for(4);
  stop(id);
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[2].id, 0xA0);  // index 2 mod 2
  EXPECT_EQ(sent[3].id, 0xA1);

  vsim_log_clear();
  id = start(records({0xF0, 0xF1}), 100'000, std::nullopt);
  ASSERT_EQ(wait_for(1).size(), 1u);
  ASSERT_TRUE(registry.modify(id, records({0xA0, 0xA1, 0xA2})));
  sent = wait_for(2);
  stop(id);
  EXPECT_EQ(sent.at(1).id, 0xA1);  // index 1 of the new list
}

TEST_F(PeriodicTest, DurationLimitsTheSends) {
  auto t0 = std::chrono::steady_clock::now();
  uint32_t id = start(records({1}), 100'000, 1000);
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(sent_frames().size(), 10u);
  auto s = sent_frames();
  EXPECT_LT(s.back().t_ns - s.front().t_ns, 950'000'000u);
  stop(id);  // ended already: the join returns at once
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

  vsim_log_clear();
  id = start(records({1}), 10'000, 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(sent_frames().empty());
  stop(id);
}

TEST_F(PeriodicTest, PeriodZeroSendsBackToBack) {
  uint32_t id = start(records({1, 2}), 0, std::nullopt);
  std::this_thread::sleep_for(30ms);
  stop(id);
  auto sent = sent_frames();
  EXPECT_GT(sent.size(), 1000u);
  // In rotation (the log keeps the latest 65,536 transfers, so it may start at either frame).
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(sent[i + 1].id, 3 - sent[i].id);
}

TEST_F(PeriodicTest, AnEmptiedListEndsTheWorkerButTheTaskStays) {
  uint32_t id = start(records({1}), 20'000, std::nullopt);
  wait_for(1);
  ASSERT_TRUE(registry.modify(id, {}));
  std::this_thread::sleep_for(100ms);
  size_t n = sent_frames().size();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(sent_frames().size(), n);
  EXPECT_EQ(registry.size(), 1u);
  stop(id);
}

TEST_F(PeriodicTest, StopsArePromptWhateverThePeriod) {
  for (uint64_t period_us : {uint64_t{1000}, uint64_t{1'000'000}, uint64_t{1} << 63, ~uint64_t{0}}) {
    vsim_log_clear();
    uint32_t id = start(records({1}), period_us, ~uint64_t{0});
    wait_for(1);
    auto t0 = std::chrono::steady_clock::now();
    stop(id);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms) << period_us;
    if (period_us > 1'000'000) {
      EXPECT_EQ(sent_frames().size(), 1u) << "a huge period sends once";
    }
  }
}

TEST_F(PeriodicTest, StopAllSignalsEveryWorkerBeforeJoining) {
  start(records({1}), 300'000, std::nullopt);
  start(records({2}), 300'000, std::nullopt);
  start(records({3}), 300'000, std::nullopt);
  wait_for(3);
  auto t0 = std::chrono::steady_clock::now();
  auto threads = registry.stop_all();
  EXPECT_EQ(threads.size(), 3u);
  for (auto& t : threads) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(PeriodicTest, AnUnpluggedAdapterDoesNotEndTheWorker) {
  uint32_t id = start(records({1}), 5000, std::nullopt);
  wait_for(2);
  vsim_unplug(0);
  size_t before = sent_frames().size();
  std::this_thread::sleep_for(50ms);
  EXPECT_GT(sent_frames().size(), before + 3);  // failing writes, still on schedule
  auto t0 = std::chrono::steady_clock::now();
  stop(id);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
}

TEST_F(PeriodicTest, AfterAStallTheSpecifiedWorkerCatchesUpAndAResumingOneGoesOnFromNow) {
  for (bool resume : {false, true}) {
    vsim_log_clear();
    uint32_t id = start(records({0x1}), 10'000, std::nullopt, resume);
    std::this_thread::sleep_for(30ms);
    vsim_set_sink(0, 0);
    vsim_set_tx_fifo(0, 0);  // nothing is taken: each write waits out its 50 ms
    std::this_thread::sleep_for(300ms);
    const uint64_t stall_end = vsim_now_ns();
    vsim_set_tx_fifo(0, 16);
    vsim_set_sink(0, 1);
    std::this_thread::sleep_for(60ms);
    registry.stop(id)->join();
    size_t burst = 0;
    for (size_t i = 0; i < vsim_log_count(); ++i) {
      vsim_log_entry e{};
      vsim_log_get(i, &e);
      if (e.kind == 1 && e.endpoint == 0x02 && e.result == 0 && e.t_ns >= stall_end && e.t_ns < stall_end + 30'000'000)
        ++burst;
    }
    if (resume) {
      // At most the few periods it may lag before it lets them go, then one a period.
      EXPECT_LE(burst, RESUME_AFTER_PERIODS + 4);
      EXPECT_GE(burst, 2u);
    } else {
      EXPECT_GE(burst, 20u);  // some 30 missed deadlines, back to back
    }
  }
}

TEST_F(PeriodicTest, IdsSkipTasksStillRegisteredAfterTheWrap) {
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), 1u);
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), 2u);
  ids.set_next(UINT32_MAX);
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), UINT32_MAX);
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), 0u);
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), 3u);  // 1 and 2 are still running
  EXPECT_EQ(registry.size(), 5u);
  stop(1);
  ids.set_next(1);
  EXPECT_EQ(start(records({1}), 1'000'000, std::nullopt), 1u);  // free again
  EXPECT_FALSE(registry.stop(77));
  EXPECT_FALSE(registry.modify(77, records({1})));
}

TEST_F(PeriodicTest, AWorkerThatCannotBeRegisteredIsStoppedNotLeftRunning) {
  registry.fail_next_add();
  EXPECT_THROW(start(records({1}), 1000, std::nullopt), std::bad_alloc);
  EXPECT_EQ(registry.size(), 0u);
  transport.reset();
  EXPECT_EQ(vsim_count_handles(), 0);  // its worker has ended and let go of the adapter
  const size_t sent = sent_frames().size();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(sent_frames().size(), sent);
}

TEST_F(PeriodicTest, DetachedWorkersKeepTheTransportOpen) {
  start(records({1}), 5000, 150);
  registry.detach_all();
  transport.reset();
  EXPECT_EQ(vsim_count_handles(), 1);  // held by the worker
  std::this_thread::sleep_for(400ms);  // its duration ends; it closes the adapter on its way out
  EXPECT_EQ(vsim_count_handles(), 0);
  EXPECT_EQ(vsim_count_contexts(), 0);
}

}  // namespace
}  // namespace vorel
