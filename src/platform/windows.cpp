// Windows platform layer: CreateThread with a reserved stack, QueryPerformanceCounter, and waits
// on a high-resolution waitable timer together with a stop event.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace vorel::platform {

namespace {

constexpr uint64_t NS_PER_SEC = 1000000000ull;

uint64_t qpc_frequency() noexcept {
  static const uint64_t freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  return freq;
}

std::string os_error_text(DWORD code) {
  char buf[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = 0;
  return std::string(buf, n) + " (os error " + std::to_string(code) + ")";
}

// SetThreadDescription exists from Windows 10 1607 on; look it up so older systems still run.
void name_this_thread(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return;
  auto fn = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (!fn) return;
  std::wstring wide(name.begin(), name.end());
  fn(GetCurrentThread(), wide.c_str());
}

struct StartArgs {
  std::string name;
  std::function<void()> body;
};

DWORD WINAPI thread_main(LPVOID p) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(p));
  name_this_thread(args->name);
  args->body();
  return 0;
}

}  // namespace

uint64_t monotonic_ns() noexcept {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart), freq = qpc_frequency();
  return ticks / freq * NS_PER_SEC + ticks % freq * NS_PER_SEC / freq;
}

struct Thread::Handle {
  HANDLE h;
};

Thread Thread::start(const char* name, size_t stack_bytes, std::function<void()> body, SpawnError* error) {
  Thread t;
  auto args = std::make_unique<StartArgs>(StartArgs{name, std::move(body)});
  HANDLE h = CreateThread(nullptr, stack_bytes, thread_main, args.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!h) {
    DWORD code = GetLastError();
    if (error) *error = SpawnError{static_cast<int>(code), os_error_text(code)};
    return t;
  }
  args.release();  // owned by the new thread now
  t.handle_ = new Handle{h};
  return t;
}

void Thread::join() noexcept {
  if (!handle_) return;
  WaitForSingleObject(handle_->h, INFINITE);
  CloseHandle(handle_->h);
  delete std::exchange(handle_, nullptr);
}

void Thread::detach() noexcept {
  if (!handle_) return;
  CloseHandle(handle_->h);
  delete std::exchange(handle_, nullptr);
}

// Windows has no per-thread timer slack; the high-resolution timer below is what keeps waits short.
void use_precise_timers() noexcept {}

namespace {

// Set by the tests' fault injection only.
std::atomic<bool> g_fail_events{false}, g_fail_timers{false};

// Without an event to wait on, waits sleep in slices no longer than this, so that set() is seen.
constexpr DWORD POLL_SLICE_MS = 10;

// Milliseconds covering `ns`, rounded up (so a wait never ends early), below INFINITE.
DWORD ms_covering(uint64_t ns) noexcept {
  const uint64_t ms = ns / 1000000 + (ns % 1000000 != 0);
  return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// A high-resolution waitable timer due `ns` from now; null when the system gives none.
class DueTimer {
 public:
  explicit DueTimer(uint64_t ns) noexcept {
    if (g_fail_timers.load(std::memory_order_relaxed)) return;
    h_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!h_) return;
    // A relative due time in units of 100 ns, rounded up so that the wait never ends early.
    const uint64_t units = ns / 100 + (ns % 100 != 0);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(units > 0x7FFFFFFFFFFFFFFFull ? 0x7FFFFFFFFFFFFFFFull : units);
    if (!SetWaitableTimer(h_, &due, 0, nullptr, nullptr, FALSE)) {
      CloseHandle(h_);
      h_ = nullptr;
    }
  }
  ~DueTimer() {
    if (h_) CloseHandle(h_);
  }
  DueTimer(const DueTimer&) = delete;
  DueTimer& operator=(const DueTimer&) = delete;
  HANDLE get() const noexcept { return h_; }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace

namespace faults {
void fail_event_creation(bool on) noexcept { g_fail_events = on; }
void fail_timer_creation(bool on) noexcept { g_fail_timers = on; }
}  // namespace faults

struct StopSignal::Impl {
  // Manual reset: stays set. Null when the system refused one: waits then sleep in slices.
  HANDLE event = g_fail_events.load(std::memory_order_relaxed) ? nullptr : CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Impl() {
    if (event) CloseHandle(event);
  }
};

StopSignal::StopSignal() : impl_(std::make_unique<Impl>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::set() noexcept {
  flag_.store(true, std::memory_order_relaxed);
  if (impl_->event) SetEvent(impl_->event);
}

// Each pass waits at most until the deadline and then looks again, so whatever the system refuses
// (the event, the timer, a wait), the result is the same: never early, and set() ends it.
bool StopSignal::wait_until(uint64_t deadline_ns) noexcept {
  const bool never = is_never(deadline_ns);
  while (!is_set()) {
    const uint64_t now = monotonic_ns();
    if (!never && now >= deadline_ns) return false;
    const uint64_t left = never ? 0 : deadline_ns - now;
    const DWORD slice = never ? POLL_SLICE_MS : std::min(ms_covering(left), POLL_SLICE_MS);
    if (!impl_->event) {
      Sleep(slice);
      continue;
    }
    DWORD r;
    if (never) {
      r = WaitForSingleObject(impl_->event, INFINITE);
    } else if (DueTimer timer(left); timer.get()) {
      HANDLE both[2] = {impl_->event, timer.get()};
      r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    } else {
      r = WaitForSingleObject(impl_->event, ms_covering(left));
    }
    if (r == WAIT_FAILED) Sleep(slice);
  }
  return true;
}

// asyncio on Windows waits for sockets only: no descriptor to offer.
ReadyEvent::ReadyEvent() noexcept = default;
ReadyEvent::~ReadyEvent() = default;
void ReadyEvent::set(bool on) noexcept { on_ = on; }

}  // namespace vorel::platform
