// The periodic send worker and the task registry.
#include "periodic.h"

#include <new>

#include <algorithm>

namespace vorel {

namespace {
constexpr uint64_t NS_PER_US = 1000, NS_PER_MS = 1000000;
}

void run_worker(const WorkerPlan& plan) noexcept {
  platform::use_precise_timers();
  const uint64_t start = platform::monotonic_ns();
  uint64_t deadline = platform::monotonic_ns();
  // Huge periods and durations saturate: "send once, then wait for the stop" and "no limit".
  const uint64_t period_ns = platform::saturating_mul(plan.period_us, NS_PER_US);
  const std::optional<uint64_t> duration_ns =
      plan.duration_ms ? std::optional(platform::saturating_mul(*plan.duration_ms, NS_PER_MS))
                       : std::nullopt;
  const uint64_t end_ns = duration_ns ? platform::saturating_add(start, *duration_ns) : platform::NEVER;
  const Duration write_timeout = Duration::from_millis(WORKER_WRITE_TIMEOUT_MS);
  uint64_t rotation = 0;
  if (plan.stop->is_set()) return;
  for (;;) {
    if (duration_ns) {
      const uint64_t now = platform::monotonic_ns();
      if ((now > start ? now - start : 0) >= *duration_ns) return;
    }
    TxRecord record;
    uint64_t k;
    {
      std::lock_guard lk(plan.frames->mu);
      const auto& list = plan.frames->records;
      if (list.empty()) return;
      k = rotation % list.size();
      record = list[k];
    }
    // Write errors, time-outs and short writes alike are dropped: the schedule goes on.
    (void)plan.transport->bulk_write(record, write_timeout);
    // Deadlines advance from the first one, so nothing drifts and a late worker catches up.
    deadline = platform::saturating_add(deadline, period_ns);
    if (plan.resume) {
      const uint64_t now = platform::monotonic_ns();
      if (now > platform::saturating_add(deadline, platform::saturating_mul(period_ns, RESUME_AFTER_PERIODS)))
        deadline = now;
    }
    // The duration ends the task even when the next period lies later (or never comes).
    const uint64_t wake = std::min(deadline, end_ns);
    if (wake > platform::monotonic_ns()) {
      if (plan.stop->wait_until(wake)) return;
    }
    rotation = k + 1;
    if (plan.stop->is_set()) return;
  }
}

platform::Thread spawn_worker(WorkerPlan plan, platform::SpawnError* error) {
  return platform::Thread::start(
      WORKER_NAME, WORKER_STACK, [plan = std::move(plan)] { run_worker(plan); }, error);
}

uint32_t PeriodicRegistry::add(TaskIds& ids, PeriodicTask task) {
  // A worker that cannot be registered (no memory for the entry) is stopped and joined here:
  // detached, nothing could ever stop it.
  struct StopUnlessRegistered {
    PeriodicTask& task;
    bool registered = false;
    ~StopUnlessRegistered() {
      if (registered || !task.thread.joinable()) return;
      task.stop->set();
      task.thread.join();
    }
  } guard{task};
  if (fail_next_add_.exchange(false)) throw std::bad_alloc();
  for (;;) {
    const uint32_t id = ids.take();
    std::lock_guard lk(mu_);
    // try_emplace leaves `task` alone when it inserts nothing or throws.
    if (tasks_.try_emplace(id, std::move(task)).second) {
      guard.registered = true;
      return id;
    }
  }
}

bool PeriodicRegistry::modify(uint32_t id, std::vector<TxRecord> records) {
  std::lock_guard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return false;
  std::lock_guard frames_lock(it->second.frames->mu);
  it->second.frames->records.swap(records);
  return true;
}

std::optional<platform::Thread> PeriodicRegistry::stop(uint32_t id) {
  std::lock_guard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return std::nullopt;
  it->second.stop->set();
  platform::Thread thread = std::move(it->second.thread);
  tasks_.erase(it);
  return thread;
}

std::vector<platform::Thread> PeriodicRegistry::stop_all() {
  std::lock_guard lk(mu_);
  std::vector<platform::Thread> threads;
  threads.reserve(tasks_.size());
  for (auto& [id, task] : tasks_) {
    task.stop->set();
    threads.push_back(std::move(task.thread));
  }
  tasks_.clear();
  return threads;
}

void PeriodicRegistry::detach_all() {
  std::lock_guard lk(mu_);
  for (auto& [id, task] : tasks_) task.thread.detach();
  tasks_.clear();
}

size_t PeriodicRegistry::size() {
  std::lock_guard lk(mu_);
  return tasks_.size();
}

}  // namespace vorel
