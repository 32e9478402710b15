// POSIX platform layer: pthreads, CLOCK_MONOTONIC, condition-variable waits on absolute deadlines.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <time.h>

#include <cstring>
#include <new>
#include <utility>

#include "platform.h"

namespace vorel::platform {

namespace {

constexpr uint64_t NS_PER_SEC = 1000000000ull;

timespec to_timespec(uint64_t ns) noexcept {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / NS_PER_SEC);
  ts.tv_nsec = static_cast<long>(ns % NS_PER_SEC);
  return ts;
}

std::string os_error_text(int code) {
  char buf[256];
  // The GNU strerror_r returns the text, which may not be in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

struct StartArgs {
  std::string name;
  std::function<void()> body;
};

void* thread_main(void* p) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(p));
  pthread_setname_np(pthread_self(), args->name.substr(0, 15).c_str());
  args->body();
  return nullptr;
}

}  // namespace

uint64_t monotonic_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * NS_PER_SEC + static_cast<uint64_t>(ts.tv_nsec);
}

struct Thread::Handle {
  pthread_t id;
};

Thread Thread::start(const char* name, size_t stack_bytes, std::function<void()> body,
                     SpawnError* error) {
  Thread t;
  auto args = std::make_unique<StartArgs>(StartArgs{name, std::move(body)});
  auto handle = std::make_unique<Handle>();
  pthread_attr_t attr;
  int r = pthread_attr_init(&attr);
  if (r == 0) {
    r = pthread_attr_setstacksize(&attr, stack_bytes);
    if (r == 0) r = pthread_create(&handle->id, &attr, thread_main, args.get());
    pthread_attr_destroy(&attr);
  }
  if (r != 0) {
    if (error) *error = SpawnError{r, os_error_text(r)};
    return t;
  }
  args.release();  // owned by the new thread now
  t.handle_ = handle.release();
  return t;
}

void Thread::join() noexcept {
  if (!handle_) return;
  pthread_join(handle_->id, nullptr);
  delete std::exchange(handle_, nullptr);
}

void Thread::detach() noexcept {
  if (!handle_) return;
  pthread_detach(handle_->id);
  delete std::exchange(handle_, nullptr);
}

void use_precise_timers() noexcept { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

// A mutex and a condition variable on CLOCK_MONOTONIC: set() signals under the mutex, so a
// waiter either sees the flag before it sleeps or is woken.
struct StopSignal::Impl {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv;
  Impl() {
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&cv, &a);
    pthread_condattr_destroy(&a);
  }
  ~Impl() {
    pthread_cond_destroy(&cv);
    pthread_mutex_destroy(&mu);
  }
};

StopSignal::StopSignal() : impl_(std::make_unique<Impl>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::set() noexcept {
  pthread_mutex_lock(&impl_->mu);
  flag_.store(true, std::memory_order_relaxed);
  pthread_cond_broadcast(&impl_->cv);
  pthread_mutex_unlock(&impl_->mu);
}

bool StopSignal::wait_until(uint64_t deadline_ns) noexcept {
  pthread_mutex_lock(&impl_->mu);
  bool stopped;
  while (!(stopped = flag_.load(std::memory_order_relaxed))) {
    if (is_never(deadline_ns)) {
      pthread_cond_wait(&impl_->cv, &impl_->mu);
      continue;
    }
    if (monotonic_ns() >= deadline_ns) break;
    timespec ts = to_timespec(deadline_ns);
    pthread_cond_timedwait(&impl_->cv, &impl_->mu, &ts);
  }
  pthread_mutex_unlock(&impl_->mu);
  return stopped;
}

// An eventfd: readable while its count is non-zero.
ReadyEvent::ReadyEvent() noexcept : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ReadyEvent::~ReadyEvent() {
  if (fd_ >= 0) close(fd_);
}

void ReadyEvent::set(bool on) noexcept {
  if (fd_ < 0 || on == on_) return;
  uint64_t v = 1;
  ssize_t n = on ? write(fd_, &v, sizeof v) : read(fd_, &v, sizeof v);
  (void)n;  // a non-blocking eventfd neither fails nor blocks for one count
  on_ = on;
}

}  // namespace vorel::platform
