// Windows platform layer: CreateThread with a reserved stack, QueryPerformanceCounter, and waits
// on a high-resolution waitable timer together with a stop event.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

constexpr uint64_t kNsPerSec = 1000000000ull;

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
  return ticks / freq * kNsPerSec + ticks % freq * kNsPerSec / freq;
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

struct StopSignal::Impl {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: stays set
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

bool StopSignal::wait_until(uint64_t deadline_ns) noexcept {
  while (!is_set()) {
    const uint64_t now = monotonic_ns();
    if (deadline_ns != kNever && now >= deadline_ns) return false;
    HANDLE timer = nullptr;
    if (deadline_ns != kNever) {
      timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
      // A relative due time in units of 100 ns, rounded up so the wait never ends early.
      const uint64_t left = deadline_ns - now;
      const uint64_t units = left / 100 + (left % 100 != 0);
      LARGE_INTEGER due;
      due.QuadPart = -static_cast<LONGLONG>(units > 0x7FFFFFFFFFFFFFFFull ? 0x7FFFFFFFFFFFFFFFull : units);
      if (timer && !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        CloseHandle(timer);
        timer = nullptr;
      }
      if (!timer) {
        // Without a high-resolution timer: wait on the event alone, in milliseconds rounded up.
        const uint64_t ms = left / 1000000 + (left % 1000000 != 0);
        WaitForSingleObject(impl_->event, ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
        continue;
      }
      HANDLE both[2] = {impl_->event, timer};
      DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
      CloseHandle(timer);
      if (r == WAIT_FAILED) {
        const uint64_t ms = left / 1000000 + (left % 1000000 != 0);
        Sleep(ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
      }
    } else {
      WaitForSingleObject(impl_->event, INFINITE);
    }
  }
  return true;
}

// asyncio on Windows waits for sockets only: no descriptor to offer.
ReadyEvent::ReadyEvent() noexcept = default;
ReadyEvent::~ReadyEvent() = default;
void ReadyEvent::set(bool on) noexcept { on_ = on; }

}  // namespace vorel::platform
