// The drop-in libusb's asynchronous bulk IN transfers: a host controller collects them, event handling calls them back.
//
// What the receiver of the module needs, with the timing of a full-speed bus: the transfers
// queued on an endpoint are served in order; a transfer takes its data from the firmware's queue
// when it collects it (one 64-byte packet per endpoint about every 50 us at most), and completes
// its USB round trip later, at a USB frame boundary where the adapter has frames set (WinUSB's
// short-packet behaviour). Completions are reported only inside event handling, on the thread
// that handles events, in submission order per endpoint. Other transfer types are refused with
// LIBUSB_ERROR_NOT_SUPPORTED.
//
// The host controller is one thread of the process, started by the first submission; it never
// calls back. In a process attached to a shared bus, a thread per handle collects its reads
// through the server one at a time instead (the server's adapters run there).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "dropin.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

using vsim::Clock;
using vsim::World;
using vsim::dropin::adapter_of_locked;
using vsim::dropin::attached;
namespace st = vsim::status;

namespace {

// A full-speed host controller polls a NAKing bulk endpoint several times a frame.
constexpr auto PACKET_GAP = std::chrono::microseconds(50);
// How far behind the controller may have fallen and still collect at the full pace: a real one
// is not delayed by the host's scheduler.
constexpr auto CATCH_UP = std::chrono::milliseconds(2);
// The host controller looks again at least this often, with nothing to do.
constexpr auto IDLE_WAKE = std::chrono::milliseconds(50);
// A shared bus's collector asks the server for this long at a time, and ends after this long
// without a transfer to collect.
constexpr unsigned ATTACHED_SLICE_MS = 20;
constexpr auto ATTACHED_IDLE = std::chrono::milliseconds(200);
// libusb_handle_events() without a time-out waits this long, as libusb's does.
constexpr auto HANDLE_EVENTS_DEFAULT = std::chrono::seconds(60);

// Kept in front of each libusb_transfer, as libusb keeps its own record there. Guarded by World::mu.
struct AsyncState {
  enum class Phase : uint8_t { idle, queued, done };
  Phase phase = Phase::idle;
  bool cancelled = false;
  bool collecting = false;  // attached: a collector has it out at the server
  Clock::time_point submitted{}, done_at{};
  int status = 0;  // LIBUSB_TRANSFER_* once done
  int actual = 0;
};

constexpr size_t HEADER = (sizeof(AsyncState) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                           alignof(std::max_align_t);

AsyncState& state_of(libusb_transfer* t) {
  return *std::launder(reinterpret_cast<AsyncState*>(reinterpret_cast<char*>(t) - HEADER));
}

// Contexts with transfers submitted, for the host controller. Guarded by World::mu.
std::vector<libusb_context*> g_active;
bool g_controller_started = false;
std::vector<uint64_t> g_collecting_handles;  // attached: handles whose collector runs

int status_of_error(int error) {
  switch (error) {
    case st::ok: return LIBUSB_TRANSFER_COMPLETED;
    case st::timeout: return LIBUSB_TRANSFER_TIMED_OUT;
    case st::pipe: return LIBUSB_TRANSFER_STALL;
    case st::no_device: return LIBUSB_TRANSFER_NO_DEVICE;
    case st::overflow: return LIBUSB_TRANSFER_OVERFLOW;
    default: return LIBUSB_TRANSFER_ERROR;
  }
}

void finish(libusb_transfer* t, AsyncState& s, int status, int actual, Clock::time_point at) {
  --t->dev_handle->queued_in;
  s.phase = AsyncState::Phase::done;
  s.status = status;
  s.actual = actual;
  s.done_at = at;
}

// Per endpoint of a handle, while one pass walks a context's transfers in order.
struct Lane {
  libusb_device_handle* handle;
  unsigned char endpoint;
  bool blocked = false;           // an earlier transfer is still queued
  Clock::time_point last_done{};  // the latest completion time ahead: none may complete sooner
};

Lane& lane_of(std::vector<Lane>& lanes, libusb_transfer* t) {
  for (auto& l : lanes)
    if (l.handle == t->dev_handle && l.endpoint == t->endpoint) return l;
  lanes.push_back(Lane{t->dev_handle, t->endpoint});
  return lanes.back();
}

// Collects what the model allows for one queued transfer at the head of its lane; true when it
// is done. `wake` is lowered to when it should be looked at again.
bool collect_locked(World& w, libusb_transfer* t, AsyncState& s, Lane& lane, Clock::time_point now,
                    Clock::time_point& wake) {
  libusb_device_handle* h = t->dev_handle;
  vsim::Adapter* a = adapter_of_locked(w, h->dev);
  if (!a) {
    finish(t, s, LIBUSB_TRANSFER_NO_DEVICE, 0, std::max(now, lane.last_done));
    return true;
  }
  Clock::time_point expires = t->timeout ? s.submitted + std::chrono::milliseconds(t->timeout) : Clock::time_point::max();
  if (now >= expires) {
    finish(t, s, LIBUSB_TRANSFER_TIMED_OUT, 0, std::max(now, lane.last_done));
    return true;
  }
  if (now < h->next_in_packet) {
    wake = std::min(wake, h->next_in_packet);
    return false;
  }
  int adapter = h->dev->adapter;
  int filled = 0, r;
  if (auto fault = w.take_bulk_fault_locked(adapter, t->endpoint)) {
    r = fault->error;
    filled = std::clamp(fault->transferred, 0, t->length);
    std::fill_n(t->buffer, filled, 0);
  } else {
    // The caller has run the buses up to `now` (or runs them: see frame_queued).
    r = w.take_rx_locked(adapter, std::span<uint8_t>(t->buffer, static_cast<size_t>(t->length)), filled);
  }
  if (r == st::would_block) {
    if (auto ev = w.next_event_locked(adapter)) wake = std::min(wake, *ev);
    wake = std::min(wake, expires);
    return false;
  }
  // One packet per gap on average: a controller thread that the host scheduled late catches up
  // what the hardware would have collected meanwhile, so the pace is the bus's, not the host's.
  h->next_in_packet = std::max(h->next_in_packet, now - CATCH_UP) + PACKET_GAP;
  wake = std::min(wake, h->next_in_packet);  // for the transfer behind it
  Clock::time_point at = r == st::no_device ? now : w.usb_done_at_locked(adapter, now);
  finish(t, s, status_of_error(r), filled, std::max(at, lane.last_done));
  return true;
}

// One pass of the host controller over a context (over the transfers of one adapter, or of all
// for -1); true when a transfer became done sooner than the context's handler would look by itself.
bool progress_locked(World& w, libusb_context* ctx, Clock::time_point now, Clock::time_point& wake, int adapter = -1) {
  bool changed = false;
  auto sooner = [&](const AsyncState& s) { return s.done_at < ctx->handler_until; };
  static std::vector<Lane> lanes;  // under World::mu, never reentered; kept to spare an allocation
  lanes.clear();
  for (libusb_transfer* t : ctx->transfers) {
    AsyncState& s = state_of(t);
    if (adapter >= 0 && t->dev_handle->dev->adapter != adapter) continue;
    Lane& lane = lane_of(lanes, t);
    if (s.phase == AsyncState::Phase::queued && s.cancelled && !s.collecting) {
      finish(t, s, LIBUSB_TRANSFER_CANCELLED, 0, std::max(now, lane.last_done));
      changed = changed || sooner(s);
    } else if (s.phase == AsyncState::Phase::queued && !lane.blocked) {
      if (!attached() && collect_locked(w, t, s, lane, now, wake)) changed = changed || sooner(s);
      else lane.blocked = true;  // it waits, and the ones behind it wait for it
    }
    if (s.phase == AsyncState::Phase::done) lane.last_done = std::max(lane.last_done, s.done_at);
  }
  return changed;
}

// A frame reached an adapter's queue at bus time `t`: reads waiting for it take it then, so that
// a controller thread the host scheduled late loses nothing a real controller would have kept.
void frame_queued(int adapter, Clock::time_point t) {
  World& w = World::get();
  Clock::time_point wake = Clock::time_point::max();
  for (libusb_context* ctx : g_active)
    if (progress_locked(w, ctx, t, wake, adapter)) ctx->events.notify_all();
}

[[noreturn]] void controller() {
#ifdef __linux__
  // Linux lets a normal thread's timed waits end up to 50 us late; the controller paces packets
  // 50 us apart.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  World& w = World::get();
  std::unique_lock lk(w.mu);
  for (;;) {
    auto now = Clock::now();
    w.advance_locked(now);
    auto wake = now + IDLE_WAKE;
    for (libusb_context* ctx : g_active)
      if (progress_locked(w, ctx, now, wake)) ctx->events.notify_all();
    // Frames delivered, submissions, cancellations and unplugs all notify the world's cv.
    w.cv.wait_until(lk, wake);
  }
}

// Attached to a shared bus: collects one handle's reads through the server, one at a time, in
// submission order; ends once the handle has had nothing to collect for a while.
void collector(uint64_t handle_id) {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  auto idle_since = Clock::now();
  std::vector<uint8_t> buffer;
  for (;;) {
    libusb_transfer* next = nullptr;
    libusb_context* ctx = nullptr;
    for (libusb_context* c : g_active) {
      for (libusb_transfer* t : c->transfers) {
        AsyncState& s = state_of(t);
        if (t->dev_handle->id != handle_id || s.phase != AsyncState::Phase::queued) continue;
        next = t;
        ctx = c;
        break;
      }
      if (next) break;
    }
    auto now = Clock::now();
    if (!next) {
      if (now - idle_since > ATTACHED_IDLE) break;
      w.cv.wait_until(lk, now + ATTACHED_IDLE);
      continue;
    }
    idle_since = now;
    AsyncState& s = state_of(next);
    if (s.cancelled) {
      finish(next, s, LIBUSB_TRANSFER_CANCELLED, 0, now);
      ctx->events.notify_all();
      continue;
    }
    // The transfer stays queued (and alive: it may not be freed before its callback) while the
    // server answers; its handle with it.
    s.collecting = true;
    uint32_t remote = next->dev_handle->remote;
    unsigned char endpoint = next->endpoint;
    buffer.assign(static_cast<size_t>(next->length), 0);
    lk.unlock();
    int moved = 0;
    int r = attached()->bulk(remote, endpoint, buffer, moved, ATTACHED_SLICE_MS);
    lk.lock();
    s.collecting = false;
    if (r == LIBUSB_ERROR_TIMEOUT && moved == 0) continue;  // nothing yet: ask again
    if (moved > 0) std::memcpy(next->buffer, buffer.data(), static_cast<size_t>(moved));
    int status = moved > 0 || r == 0 ? LIBUSB_TRANSFER_COMPLETED : status_of_error(r);
    if (s.cancelled && moved == 0) status = LIBUSB_TRANSFER_CANCELLED;
    finish(next, s, status, moved, Clock::now());
    ctx->events.notify_all();
  }
  std::erase(g_collecting_handles, handle_id);
}

void start_threads_locked(libusb_device_handle* h) {
  if (attached()) {
    if (std::find(g_collecting_handles.begin(), g_collecting_handles.end(), h->id) != g_collecting_handles.end()) return;
    g_collecting_handles.push_back(h->id);
    std::thread(collector, h->id).detach();
    return;
  }
  if (g_controller_started) return;
  g_controller_started = true;
  World::get().rx_queued = frame_queued;
  std::thread(controller).detach();  // runs while the process does, like the bus driver
}

// Takes the transfers that are due, in order: per endpoint, up to the first that is not.
// `next_due` becomes the earliest completion still ahead at the head of an endpoint.
std::vector<libusb_transfer*> take_due_locked(libusb_context* ctx, Clock::time_point now, Clock::time_point& next_due) {
  std::vector<libusb_transfer*> due;
  std::vector<Lane> lanes;
  next_due = Clock::time_point::max();
  for (auto it = ctx->transfers.begin(); it != ctx->transfers.end();) {
    libusb_transfer* t = *it;
    AsyncState& s = state_of(t);
    Lane& lane = lane_of(lanes, t);
    if (lane.blocked) {
      ++it;
      continue;
    }
    if (s.phase != AsyncState::Phase::done || s.done_at > now) {
      if (s.phase == AsyncState::Phase::done) next_due = std::min(next_due, s.done_at);
      lane.blocked = true;
      ++it;
      continue;
    }
    t->status = static_cast<libusb_transfer_status>(s.status);
    t->actual_length = s.actual;
    s.phase = AsyncState::Phase::idle;
    due.push_back(t);
    it = ctx->transfers.erase(it);
  }
  if (ctx->transfers.empty()) std::erase(g_active, ctx);
  return due;
}

// Runs the callbacks of `due` in order, without the world's lock.
void call_back(std::vector<libusb_transfer*>& due) {
  for (libusb_transfer* t : due) {
    const bool free_after = (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
    if (t->callback) t->callback(t);
    if (free_after) libusb_free_transfer(t);
  }
}

}  // namespace

namespace vsim::dropin {

void handle_due_events(libusb_context* ctx) {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  if (!ctx || ctx->handling || ctx->transfers.empty()) return;
  Clock::time_point next;
  auto due = take_due_locked(ctx, Clock::now(), next);
  if (due.empty()) return;
  ctx->handling = true;
  lk.unlock();
  call_back(due);
  lk.lock();
  ctx->handling = false;
  ctx->events.notify_all();
}

}  // namespace vsim::dropin

namespace {

int handle_events(libusb_context* ctx, Clock::duration timeout, int* completed) {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  ctx = vsim::dropin::resolve_locked(ctx);
  if (!ctx) return LIBUSB_ERROR_INVALID_PARAM;
  const auto deadline = Clock::now() + timeout;
  if (ctx->handling) {
    // Another thread handles events: wait until it is done, as libusb's event waiters do.
    ctx->events.wait_until(lk, deadline, [&] { return !ctx->handling || (completed && *completed); });
    return 0;
  }
  ctx->handling = true;
  for (;;) {
    if (ctx->interrupted) {
      ctx->interrupted = false;
      break;
    }
    if (completed && *completed) break;
    Clock::time_point next_due;
    auto due = take_due_locked(ctx, Clock::now(), next_due);
    if (!due.empty()) {
      lk.unlock();
      call_back(due);
      lk.lock();
      break;
    }
    if (Clock::now() >= deadline) break;
    ctx->handler_until = std::min(deadline, next_due);
    ctx->events.wait_until(lk, ctx->handler_until);
    ctx->handler_until = Clock::time_point::min();  // awake: nothing needs to wake it
  }
  ctx->handling = false;
  ctx->events.notify_all();
  return 0;
}

Clock::duration duration_of(const timeval* tv) {
  if (!tv) return Clock::duration::zero();
  return std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
}

}  // namespace

extern "C" {

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
  if (iso_packets < 0) return nullptr;
  size_t size = HEADER + sizeof(libusb_transfer) +
                sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(iso_packets);
  void* block = std::calloc(1, size);
  if (!block) return nullptr;
  new (block) AsyncState;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  ++w.transfers;
  return reinterpret_cast<libusb_transfer*>(static_cast<char*>(block) + HEADER);
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
  if (!transfer) return;
  World& w = World::get();
  {
    std::lock_guard lk(w.mu);
    if (state_of(transfer).phase != AsyncState::Phase::idle) {
      // libusb leaves this undefined; the simulator makes it loud, so a test cannot miss it.
      std::fprintf(stderr, "vorel-sim: a transfer was freed while still in flight\n");
      std::abort();
    }
    --w.transfers;
  }
  if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) && transfer->buffer) std::free(transfer->buffer);
  std::free(reinterpret_cast<char*>(transfer) - HEADER);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) {
  if (!t || !t->dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (t->type != LIBUSB_TRANSFER_TYPE_BULK || (t->endpoint & LIBUSB_ENDPOINT_IN) == 0) return LIBUSB_ERROR_NOT_SUPPORTED;
  if (t->length < 0 || (!t->buffer && t->length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  AsyncState& s = state_of(t);
  if (s.phase != AsyncState::Phase::idle) return LIBUSB_ERROR_BUSY;
  libusb_device_handle* h = t->dev_handle;
  if (!attached()) {
    if (!adapter_of_locked(w, h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (t->endpoint != vsim::ENDPOINT_IN) return LIBUSB_ERROR_NOT_FOUND;
  }
  s = AsyncState{};
  s.phase = AsyncState::Phase::queued;
  s.submitted = Clock::now();
  libusb_context* ctx = h->dev->ctx;
  ctx->transfers.push_back(t);
  if (std::find(g_active.begin(), g_active.end(), ctx) == g_active.end()) g_active.push_back(ctx);
  start_threads_locked(h);
  // Behind another queued transfer it changes nothing the controller waits for; a wake-up per
  // resubmission would cost the submitting thread more than a real submission costs.
  if (h->queued_in++ == 0) w.cv.notify_all();
  return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) {
  if (!t) return LIBUSB_ERROR_INVALID_PARAM;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  AsyncState& s = state_of(t);
  // Done but not yet called back counts as finished: its data comes with it, as in libusb.
  if (s.phase != AsyncState::Phase::queued || s.cancelled) return LIBUSB_ERROR_NOT_FOUND;
  s.cancelled = true;
  w.cv.notify_all();
  return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed) {
  return handle_events(ctx, duration_of(tv), completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  return handle_events(ctx, duration_of(tv), nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
  return handle_events(ctx, HANDLE_EVENTS_DEFAULT, completed);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return handle_events(ctx, HANDLE_EVENTS_DEFAULT, nullptr); }

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  ctx = vsim::dropin::resolve_locked(ctx);
  if (!ctx) return;
  ctx->interrupted = true;
  ctx->events.notify_all();
}

}  // extern "C"
