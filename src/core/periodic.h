// Periodic transmission: the send worker thread and the per-device registry of tasks (no Python).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "frames.h"
#include "platform.h"
#include "usb_transport.h"

namespace vorel {

inline constexpr const char* WORKER_NAME = "vorel-periodic-send";
inline constexpr size_t WORKER_STACK = 2 * 1024 * 1024;
inline constexpr uint64_t WORKER_WRITE_TIMEOUT_MS = 50;

// A task's frames, replaced as a whole by modify_periodic.
struct TaskFrames {
  // Guards records. Held only to copy one record or to swap the list; nested inside the
  // registry mutex in modify_periodic, never held across a write or a wait.
  std::mutex mu;
  std::vector<TxRecord> records;
};

struct WorkerPlan {
  std::shared_ptr<TaskFrames> frames;
  std::shared_ptr<platform::StopSignal> stop;
  std::shared_ptr<UsbTransport> transport;
  uint64_t period_us = 0;
  std::optional<uint64_t> duration_ms;
  // Off (the specified worker): every deadline missed is caught up, frames back to back. On: a
  // worker more than RESUME_AFTER_PERIODS behind (a bus-off, a stalled host) drops the missed
  // deadlines and goes on from now, so that a long stall does not end in a burst of stale frames.
  bool resume = false;
};
inline constexpr uint64_t RESUME_AFTER_PERIODS = 4;

// The worker's loop: one frame per period in rotation on absolute deadlines, until stopped,
// out of time or out of frames. Write outcomes are discarded. Runs on the calling thread.
void run_worker(const WorkerPlan& plan) noexcept;

// Starts run_worker on a thread of its own; a non-joinable thread and `error` on failure.
platform::Thread spawn_worker(WorkerPlan plan, platform::SpawnError* error);

struct PeriodicTask {
  std::shared_ptr<platform::StopSignal> stop;
  std::shared_ptr<TaskFrames> frames;
  platform::Thread thread;
};

// Task ids: 1, 2, 3, ... in the order of successful starts, wrapping modulo 2^32.
class TaskIds {
 public:
  uint32_t take() {
    std::lock_guard lk(mu_);
    return next_++;
  }
  void set_next(uint32_t next) {  // lets tests reach the wrap without 2^32 starts
    std::lock_guard lk(mu_);
    next_ = next;
  }

 private:
  // Guards next_. Taken alone: never while the registry mutex is held, nor the reverse.
  std::mutex mu_;
  uint32_t next_ = 1;
};

class PeriodicRegistry {
 public:
  // Registers a running task under the next free id; ids still registered after the counter
  // wrapped are skipped, so a live task is never overwritten and orphaned. Throws bad_alloc when
  // the entry cannot be made, after stopping and joining the task's worker.
  uint32_t add(TaskIds& ids, PeriodicTask task);
  // Makes the next add() fail as if memory ran out (for tests).
  void fail_next_add() { fail_next_add_ = true; }
  // Swaps the frames of a registered task; false when there is no such id.
  bool modify(uint32_t id, std::vector<TxRecord> records);
  // Removes the task and signals its worker; the thread to join, or nothing for an unknown id.
  std::optional<platform::Thread> stop(uint32_t id);
  // Removes every task and signals all workers before anyone joins.
  std::vector<platform::Thread> stop_all();
  // Lets go of every task without signalling: the workers run on, detached.
  void detach_all();
  size_t size();

 private:
  // Guards tasks. Taken before a task's TaskFrames::mu, never the reverse.
  std::mutex mu_;
  std::unordered_map<uint32_t, PeriodicTask> tasks_;
  std::atomic<bool> fail_next_add_{false};  // read and cleared by add(), without the lock
};

}  // namespace vorel
