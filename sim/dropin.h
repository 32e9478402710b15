// The drop-in libusb's objects, shared by its synchronous calls and its asynchronous transfers.
#pragma once

#include <libusb-1.0/libusb.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <vector>

#include "model.h"
#include "shared_bus.h"

// Front-end objects. All their bookkeeping is guarded by World::mu, like the model itself. In a
// process attached to a shared bus (vsim::link::client() set) the adapters are the server's: a
// device keeps what the server listed of it, and a handle names the server's handle.
struct libusb_context {
  bool exited = false;
  int devices = 0;  // live libusb_device objects of this context; it is freed after both end
  std::vector<libusb_device*> cache;

  // Asynchronous transfers submitted and not yet called back, oldest first.
  std::deque<libusb_transfer*> transfers;
  bool handling = false;     // a thread is handling this context's events
  bool interrupted = false;  // libusb_interrupt_event_handler came; the next handler returns at once
  // When the waiting handler wakes by itself: a completion due later needs no wake-up.
  vsim::Clock::time_point handler_until = vsim::Clock::time_point::min();
  // A completion may be due, a handler was interrupted, or the handler's role is free again.
  std::condition_variable events;
};

struct libusb_device {
  libusb_context* ctx;
  int adapter;
  uint64_t generation;
  int refs;
  vsim::Adapter* model;  // never freed while the process runs, see vsim::Adapter; null when attached
  vsim::link::Listed listed{};  // attached: what the server said of it
};

struct libusb_device_handle {
  libusb_device* dev;
  uint32_t claimed;  // one bit per interface number this handle holds
  uint32_t remote = 0;  // attached: the server's handle
  uint64_t id = 0;      // unique in the process, so that a thread can name it after it is closed
  vsim::Clock::time_point next_in_packet{};  // the earliest the IN endpoint sends its next packet
  int queued_in = 0;  // asynchronous IN transfers submitted and not yet collected
};

namespace vsim::dropin {

// The adapter behind a device, or nullptr once it is unplugged or the world was reset.
Adapter* adapter_of_locked(World& w, const libusb_device* dev);
// The context a call means: its own, or for null the default one libusb_init(NULL) made.
libusb_context* resolve_locked(libusb_context* ctx);
// The shared bus this process is attached to, or nullptr.
link::Client* attached();
// Calls back the context's due transfers unless another thread handles its events: libusb's
// synchronous transfers handle events while they wait, so callbacks may run on their threads.
void handle_due_events(libusb_context* ctx);

}  // namespace vsim::dropin
