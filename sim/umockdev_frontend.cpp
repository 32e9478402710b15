// Emulated Linux USB devices for the simulated adapters: a umockdev testbed whose usbfs ioctls the
// device model answers, so that the system's own libusb enumerates, opens and drives them.
//
// The process under test runs with libumockdev-preload.so.0, which redirects /sys and /dev into
// the testbed's directory and forwards every ioctl on an emulated device node to umockdev's
// worker thread, where on_ioctl() below answers it. That handler never blocks: a URB the model
// cannot finish yet (nothing received, TX FIFO full) stays pending, and the pump thread finishes
// it when the model's next event is due or the model changes. Time-outs are libusb's own: it
// discards a URB whose time is up, exactly as it does with the kernel.
//
// libusb waits for completions by polling the device node for POLLOUT. The node is therefore a
// FIFO one page deep that we keep full (not writable) while nothing can be reaped and empty
// (writable) while a finished URB waits; a plain file would be writable always and make libusb's
// event loop spin.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model.h"
#include "vsim.h"

namespace {

using vsim::Adapter;
using vsim::Clock;
using vsim::World;
namespace st = vsim::status;

// --- usbfs records -----------------------------------------------------------------------------
// The kernel's struct usbdevfs_urb as umockdev copies it out of the client: host byte order,
// fields read and written at their offsets.
constexpr size_t URB_SIZE = sizeof(usbdevfs_urb);
static_assert(URB_SIZE == 56, "struct usbdevfs_urb of a 64-bit kernel");
constexpr size_t URB_TYPE = offsetof(usbdevfs_urb, type);
constexpr size_t URB_ENDPOINT = offsetof(usbdevfs_urb, endpoint);
constexpr size_t URB_STATUS = offsetof(usbdevfs_urb, status);
constexpr size_t URB_BUFFER = offsetof(usbdevfs_urb, buffer);
constexpr size_t URB_BUFFER_LENGTH = offsetof(usbdevfs_urb, buffer_length);
constexpr size_t URB_ACTUAL_LENGTH = offsetof(usbdevfs_urb, actual_length);
constexpr size_t SETUP_SIZE = 8;  // a control URB's buffer starts with its setup packet
constexpr size_t CONNECT_INFO_SIZE = sizeof(usbdevfs_connectinfo);
static_assert(CONNECT_INFO_SIZE == 8);
constexpr size_t PIPE_PAGE = 4096;

// Reported by GET_CAPABILITIES: one URB carries a bulk transfer of any length.
constexpr uint32_t CAPABILITIES = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
constexpr int SPEED_FULL = 2;  // enum usb_device_speed

template <typename T>
T load(const UMockdevIoctlData* d, size_t off) {
  T v{};
  if (off + sizeof v <= static_cast<size_t>(d->data_len)) std::memcpy(&v, d->data + off, sizeof v);
  return v;
}

template <typename T>
void store(UMockdevIoctlData* d, size_t off, T v) {
  if (off + sizeof v <= static_cast<size_t>(d->data_len)) std::memcpy(d->data + off, &v, sizeof v);
}

// A model status as the URB status the kernel would report; libusb maps these back to the same
// libusb error (an error without a URB status of its own arrives as a protocol error, which
// libusb reports as LIBUSB_ERROR_IO, as it would for hardware).
int urb_status_of(int status) {
  switch (status) {
    case st::ok: return 0;
    case st::pipe: return -EPIPE;
    case st::overflow: return -EOVERFLOW;
    case st::no_device: return -ESHUTDOWN;
    default: return -EPROTO;
  }
}

// What the libusb call returns for a URB that ended so, for the transfer log: a control
// transfer's byte count, a bulk transfer's 0, or the error.
int result_of_urb_status(int status, bool control, int actual) {
  switch (status) {
    case 0: return control ? actual : 0;
    case -EPIPE: return st::pipe;
    case -EOVERFLOW: return st::overflow;
    case -ESHUTDOWN: return st::no_device;
    case -ENOENT: return st::timeout;  // discarded by libusb when its time-out ran out
    default: return st::io;
  }
}

// A claim failure scripted in the model (a libusb code) as the errno that libusb maps back.
int claim_errno_of(int error) {
  switch (error) {
    case st::busy: return EBUSY;
    case st::not_found: return ENOENT;
    case st::no_device: return ENODEV;
    case st::no_mem: return ENOMEM;
    default: return EPERM;  // libusb reports LIBUSB_ERROR_OTHER
  }
}

// --- state -------------------------------------------------------------------------------------

struct Urb {
  UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb (one reference held)
  UMockdevIoctlData* buffer = nullptr;  // its data buffer, a child of `urb`; may be nullptr
  gulong address = 0;                   // where the client keeps it: DISCARDURB names it so
  uint8_t type = 0, endpoint = 0;
  int progress = 0;   // bytes moved so far
  bool hang = false;  // a scripted time-out: finishes only when libusb discards it (or unplug)
  int status = 0;
  Clock::time_point ready_at{};  // finished, but its USB round trip ends only then
  vsim::LogEntry log;

  ~Urb() {
    if (urb) g_object_unref(urb);
  }
  std::span<uint8_t> data() const {
    if (!buffer) return {};
    return {buffer->data, static_cast<size_t>(buffer->data_len)};
  }
};

struct Device;

// One open file of a device node: one libusb device handle.
struct Client {
  Device* device = nullptr;
  bool claimed = false;
  std::deque<std::unique_ptr<Urb>> pending;  // submitted, not finished, oldest first
  std::deque<std::unique_ptr<Urb>> delayed;  // finished, their USB round trip not yet over
  std::deque<std::unique_ptr<Urb>> done;     // finished, waiting to be reaped
  Clock::time_point next_in_packet{};  // the earliest the IN endpoint sends its next packet
};

// A full-speed host controller polls a NAKing bulk endpoint several times a frame.
constexpr auto PACKET_GAP = std::chrono::microseconds(50);

bool is_bulk_in(const Urb& u) { return u.type == USBDEVFS_URB_TYPE_BULK && u.endpoint == vsim::ENDPOINT_IN; }

// One published adapter. Kept after it is gone, since files opened on it stay open.
struct Device {
  int adapter = -1;
  uint64_t generation = 0;
  std::string syspath, devnode;
  int fifo = -1;        // our end of the node's FIFO
  bool ready = false;   // FIFO empty: some client has a URB to reap
  bool removed = false; // taken out of the testbed
};

class Frontend {
 public:
  static Frontend* instance;

  explicit Frontend(UMockdevTestbed* testbed);
  int publish();  // brings the testbed in line with the model's adapters
  void pump();    // the pump thread's body; runs while the process does

  // Serialises publish(); lock order: publish_mu, then World::mu.
  std::mutex publish_mu;

  UMockdevTestbed* testbed;    // set once; used under publish_mu
  UMockdevIoctlBase* handler;  // set once; answers the ioctls of every device
  std::string root;            // the testbed's directory; set once

  // Everything below is guarded by World::mu, so that the pump can wait on World::cv for
  // model changes and new URBs alike.
  std::vector<std::unique_ptr<Device>> devices;
  std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients;  // holds a reference on each key

  void handle_locked(World& w, UMockdevIoctlClient* client, Client* c);
  void submit_locked(World& w, UMockdevIoctlClient* client, Client& c, bool gone);
  Client* client_locked(World& w, UMockdevIoctlClient* client);
  void sweep_locked(World& w);
  bool progress_locked(World& w, Client& c, Clock::time_point now);
  bool try_finish_locked(World& w, Device& d, Urb& u);
  void finish_locked(World& w, Client& c, std::unique_ptr<Urb> u);
  void deliver_locked(Client& c, std::unique_ptr<Urb> u);
  std::optional<Clock::time_point> release_delayed_locked(Client& c, Clock::time_point now);
  void update_ready_locked(Device& d);
  bool gone_locked(World& w, const Device& d) const;
};

Frontend* Frontend::instance = nullptr;

bool Frontend::gone_locked(World& w, const Device& d) const {
  if (d.generation != w.generation) return true;
  Adapter* a = w.adapter_locked(d.adapter);
  return !a || !a->plugged;
}

// Empties the FIFO while a URB can be reaped and fills it otherwise.
void Frontend::update_ready_locked(Device& d) {
  bool ready = false;
  for (auto& [_, c] : clients)
    if (c->device == &d && !c->done.empty()) ready = true;
  if (ready == d.ready || d.fifo < 0) return;
  static char page[PIPE_PAGE];
  if (ready) {
    while (::read(d.fifo, page, sizeof page) > 0) {
    }
  } else {
    ssize_t n = ::write(d.fifo, page, sizeof page);
    (void)n;  // a full pipe refuses the write, which is the state wanted
  }
  d.ready = ready;
}

void Frontend::finish_locked(World& w, Client& c, std::unique_ptr<Urb> u) {
  auto data = u->data();
  bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
  u->log.result = result_of_urb_status(u->status, control, u->progress);
  u->log.transferred = u->progress;
  bool in = control ? (data[0] & 0x80) != 0 : (u->endpoint & 0x80) != 0;
  if (in && u->progress > 0) {
    size_t off = control ? SETUP_SIZE : 0;
    size_t n = std::min<size_t>(static_cast<size_t>(u->progress), u->log.data.size());
    if (off + n <= data.size()) {
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(off), n, u->log.data.begin());
      u->log.data_len = static_cast<uint16_t>(n);
    }
  }
  w.log_locked(u->log);
  // A URB the adapter answered reaches the client after the USB round trip; the pump hands it
  // over then, keeping each endpoint's order.
  auto now = Clock::now();
  auto at = u->status == -ESHUTDOWN || u->status == -ENOENT ? now : w.usb_done_at_locked(c.device->adapter, now);
  if (at > now || !c.delayed.empty()) {
    u->ready_at = at;
    for (auto& d : c.delayed)
      if (d->endpoint == u->endpoint) u->ready_at = std::max(u->ready_at, d->ready_at);
    c.delayed.push_back(std::move(u));
    w.cv.notify_all();
    return;
  }
  deliver_locked(c, std::move(u));
}

void Frontend::deliver_locked(Client& c, std::unique_ptr<Urb> u) {
  store<int32_t>(u->urb, URB_STATUS, u->status);
  store<int32_t>(u->urb, URB_ACTUAL_LENGTH, u->progress);
  c.done.push_back(std::move(u));
  update_ready_locked(*c.device);
}

// Hands over the delayed URBs whose round trip is over; returns when the next one's ends.
std::optional<Clock::time_point> Frontend::release_delayed_locked(Client& c, Clock::time_point now) {
  std::optional<Clock::time_point> next;
  for (auto it = c.delayed.begin(); it != c.delayed.end();) {
    if ((*it)->ready_at <= now) {
      std::unique_ptr<Urb> u = std::move(*it);
      it = c.delayed.erase(it);
      deliver_locked(c, std::move(u));
    } else {
      next = std::min(next.value_or(Clock::time_point::max()), (*it)->ready_at);
      ++it;
    }
  }
  return next;
}

// Runs one URB as far as the model allows; true when it is finished (status set).
bool Frontend::try_finish_locked(World& w, Device& d, Urb& u) {
  if (gone_locked(w, d)) {
    u.status = -ESHUTDOWN;
    return true;
  }
  if (u.hang) return false;
  auto data = u.data();
  int r;
  if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
    const uint8_t* s = data.data();
    uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
    auto payload = data.subspan(SETUP_SIZE, std::min<size_t>(length, data.size() - SETUP_SIZE));
    bool in = (s[0] & 0x80) != 0;
    if (in) std::fill(payload.begin(), payload.end(), 0);
    bool wait_timeout = false;
    r = w.control_locked(d.adapter, s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                         static_cast<uint16_t>(s[4] | s[5] << 8), payload, wait_timeout);
    if (wait_timeout) {
      u.hang = true;
      return false;
    }
    if (r >= 0) u.progress = r;
  } else if (u.endpoint == vsim::ENDPOINT_OUT) {
    r = w.bulk_out_locked(d.adapter, data, u.progress);
  } else {
    int filled = 0;
    r = w.bulk_in_locked(d.adapter, data, filled);
    u.progress = filled;
  }
  if (r == st::would_block) return false;
  u.status = urb_status_of(r < 0 ? r : st::ok);
  return true;
}

// True when no URB submitted before `u` on the same endpoint is still pending: each endpoint
// finishes its URBs in the order they came, and endpoints do not wait for one another.
bool first_on_endpoint(const Client& c, const Urb& u) {
  for (auto& p : c.pending) {
    if (p.get() == &u) return true;
    if (p->endpoint == u.endpoint) return false;
  }
  return true;
}

// Finishes what it can of the client's pending URBs; true when some still wait for the model.
bool Frontend::progress_locked(World& w, Client& c, Clock::time_point now) {
  w.advance_locked(now);
  bool waiting = false;
  for (auto it = c.pending.begin(); it != c.pending.end();) {
    Urb& u = **it;
    const bool paced = is_bulk_in(u) && now < c.next_in_packet;
    if (!first_on_endpoint(c, u) || paced || !try_finish_locked(w, *c.device, u)) {
      waiting = waiting || !u.hang;
      ++it;
      continue;
    }
    if (is_bulk_in(u) && u.status == 0) c.next_in_packet = now + PACKET_GAP;
    std::unique_ptr<Urb> owned = std::move(*it);
    it = c.pending.erase(it);
    finish_locked(w, c, std::move(owned));
  }
  return waiting;
}

// Forgets the files that were closed. umockdev does not announce a vanished client here, so
// every ioctl and the pump look for closed connections.
void Frontend::sweep_locked(World& w) {
  for (auto it = clients.begin(); it != clients.end();) {
    if (umockdev_ioctl_client_get_connected(it->first)) {
      ++it;
      continue;
    }
    Client& c = *it->second;
    // Closing the file releases its claim, as the kernel does.
    if (c.claimed) {
      if (!gone_locked(w, *c.device))
        if (Adapter* a = w.adapter_locked(c.device->adapter); a && a->claim_owner == &c)
          a->claim_owner = nullptr;
      --w.claims;
    }
    --w.handles;
    Device* d = c.device;
    g_object_unref(it->first);
    it = clients.erase(it);
    update_ready_locked(*d);
    w.cv.notify_all();
  }
}

Client* Frontend::client_locked(World& w, UMockdevIoctlClient* client) {
  if (auto it = clients.find(client); it != clients.end()) return it->second.get();
  // A file opened on the node: it belongs to the device published there now.
  const char* node = umockdev_ioctl_client_get_devnode(client);
  Device* device = nullptr;
  for (auto& d : devices)
    if (!d->removed && node && d->devnode == node) device = d.get();
  if (!device) return nullptr;
  auto c = std::make_unique<Client>();
  g_object_ref(client);
  c->device = device;
  ++w.handles;
  w.cv.notify_all();  // the pump looks out for closed files while any are open
  return clients.emplace(client, std::move(c)).first->second.get();
}

void complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

// Resolves the ioctl's argument as a block of `len` bytes of the client's memory.
UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* client, size_t len) {
  GError* error = nullptr;
  UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, &error);
  if (error) g_error_free(error);
  return d;
}

void Frontend::handle_locked(World& w, UMockdevIoctlClient* client, Client* c) {
  Device& d = *c->device;
  bool gone = gone_locked(w, d);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* arg = resolve_arg(client, sizeof(uint32_t));
      if (!arg) return complete(client, -1, EFAULT);
      store<uint32_t>(arg, 0, CAPABILITIES);
      return complete(client, 0, 0);
    }
    case USBDEVFS_GET_SPEED:
      return complete(client, SPEED_FULL, 0);
    case USBDEVFS_CONNECTINFO: {
      UMockdevIoctlData* arg = resolve_arg(client, CONNECT_INFO_SIZE);
      if (!arg) return complete(client, -1, EFAULT);
      Adapter* a = w.adapter_locked(d.adapter);
      store<uint32_t>(arg, offsetof(usbdevfs_connectinfo, devnum), a ? a->address : 0);
      store<uint8_t>(arg, offsetof(usbdevfs_connectinfo, slow), 0);
      return complete(client, 0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
      UMockdevIoctlData* arg = resolve_arg(client, sizeof(uint32_t));
      if (!arg) return complete(client, -1, EFAULT);
      uint32_t iface = load<uint32_t>(arg, 0);
      if (gone) return complete(client, -1, ENODEV);
      if (iface != 0) return complete(client, -1, ENOENT);
      if (c->claimed) return complete(client, 0, 0);
      Adapter* a = w.adapter_locked(d.adapter);
      if (a->claim_error != 0) return complete(client, -1, claim_errno_of(a->claim_error));
      if (a->claim_owner) return complete(client, -1, EBUSY);
      a->claim_owner = c;
      c->claimed = true;
      ++w.claims;
      return complete(client, 0, 0);
    }
    case USBDEVFS_RELEASEINTERFACE: {
      UMockdevIoctlData* arg = resolve_arg(client, sizeof(uint32_t));
      if (!arg) return complete(client, -1, EFAULT);
      if (load<uint32_t>(arg, 0) != 0 || !c->claimed) return complete(client, -1, EINVAL);
      if (Adapter* a = w.adapter_locked(d.adapter); a && !gone && a->claim_owner == c) a->claim_owner = nullptr;
      c->claimed = false;
      --w.claims;
      w.cv.notify_all();
      return complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
    }
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData* arg = resolve_arg(client, sizeof(uint32_t));
      if (!arg) return complete(client, -1, EFAULT);
      if (gone) return complete(client, -1, ENODEV);
      uint32_t ep = load<uint32_t>(arg, 0);
      Adapter* a = w.adapter_locked(d.adapter);
      if (ep == vsim::ENDPOINT_OUT) a->stall_out = false;
      else if (ep == vsim::ENDPOINT_IN) a->stall_in = false;
      else return complete(client, -1, ENOENT);
      return complete(client, 0, 0);
    }
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
      return complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      return complete(client, -1, ENODATA);  // no kernel driver is bound to the interface
    case USBDEVFS_SUBMITURB:
      return submit_locked(w, client, *c, gone);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      UMockdevIoctlData* slot = resolve_arg(client, sizeof(void*));
      if (!slot) return complete(client, -1, EFAULT);
      if (c->done.empty())
        return complete(client, -1, gone && c->pending.empty() && c->delayed.empty() ? ENODEV : EAGAIN);
      std::unique_ptr<Urb> u = std::move(c->done.front());
      c->done.pop_front();
      umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
      update_ready_locked(d);
      return complete(client, 0, 0);
    }
    case USBDEVFS_DISCARDURB: {
      gulong address = load<gulong>(umockdev_ioctl_client_get_arg(client), 0);
      for (auto it = c->pending.begin(); it != c->pending.end(); ++it) {
        if ((*it)->address != address) continue;
        std::unique_ptr<Urb> u = std::move(*it);
        c->pending.erase(it);
        u->status = -ENOENT;
        finish_locked(w, *c, std::move(u));
        return complete(client, 0, 0);
      }
      return complete(client, -1, EINVAL);  // finished already: the kernel no longer has it
    }
    default:
      return complete(client, -1, ENOTTY);
  }
}

// The log entry of a URB, filled in as it is submitted.
void start_log(Urb& u, int adapter, int length) {
  vsim::LogEntry& e = u.log;
  e.t_ns = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
  e.thread = -1;  // the submitting thread is the client's, and not known here
  e.adapter = adapter;
  auto data = u.data();
  std::span<const uint8_t> out;
  if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
    e.kind = 0;
    e.request_type = data[0];
    e.request = data[1];
    e.value = static_cast<uint16_t>(data[2] | data[3] << 8);
    e.index = static_cast<uint16_t>(data[4] | data[5] << 8);
    e.length = static_cast<uint16_t>(data[6] | data[7] << 8);
    if ((data[0] & 0x80) == 0) out = data.subspan(SETUP_SIZE, std::min<size_t>(e.length, data.size() - SETUP_SIZE));
  } else {
    e.kind = 1;
    e.endpoint = u.endpoint;
    e.length = static_cast<uint16_t>(std::min(length, 0xFFFF));
    if (u.endpoint == vsim::ENDPOINT_OUT) out = data;
  }
  e.data_len = static_cast<uint16_t>(std::min(out.size(), e.data.size()));
  std::copy_n(out.begin(), e.data_len, e.data.begin());
}

void Frontend::submit_locked(World& w, UMockdevIoctlClient* client, Client& c, bool gone) {
  Device& d = *c.device;
  UMockdevIoctlData* urb = resolve_arg(client, URB_SIZE);
  if (!urb) return complete(client, -1, EFAULT);
  auto u = std::make_unique<Urb>();
  u->type = load<uint8_t>(urb, URB_TYPE);
  u->endpoint = load<uint8_t>(urb, URB_ENDPOINT);
  int length = load<int32_t>(urb, URB_BUFFER_LENGTH);
  bool control = u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == 0;
  bool bulk = u->type == USBDEVFS_URB_TYPE_BULK && (u->endpoint == vsim::ENDPOINT_OUT || u->endpoint == vsim::ENDPOINT_IN);
  if (!control && !bulk) return complete(client, -1, ENOENT);
  if (length < 0 || (control && length < static_cast<int>(SETUP_SIZE))) return complete(client, -1, EINVAL);
  if (length > 0) {
    GError* error = nullptr;
    u->buffer = umockdev_ioctl_data_resolve(urb, URB_BUFFER, static_cast<size_t>(length), &error);
    if (error) g_error_free(error);
    if (!u->buffer) return complete(client, -1, EFAULT);
  }
  u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(urb));
  u->address = urb->client_addr;
  start_log(*u, d.adapter, length);
  if (gone) {
    // Refused at once, as the kernel refuses URBs for a device that is gone; logged all the
    // same, since the caller did try it.
    u->log.result = st::no_device;
    w.log_locked(u->log);
    return complete(client, -1, ENODEV);
  }
  if (bulk) {
    // usbfs claims the interface for a bulk URB on an unclaimed one.
    Adapter* a = w.adapter_locked(d.adapter);
    if (!c.claimed) {
      if (a->claim_owner) return complete(client, -1, EBUSY);
      a->claim_owner = &c;
      c.claimed = true;
      ++w.claims;
    }
    if (auto fault = w.take_bulk_fault_locked(d.adapter, u->endpoint)) {
      int moved = std::clamp(fault->transferred, 0, length);
      if (fault->error == st::timeout) {
        u->hang = true;
        u->progress = moved;  // what the discard will report as moved
      } else {
        u->status = urb_status_of(fault->error);
        u->progress = moved;
        finish_locked(w, c, std::move(u));
        return complete(client, 0, 0);
      }
    }
  }
  // Finished at once when the model can; otherwise the pump finishes it later.
  c.pending.push_back(std::move(u));
  Urb& added = *c.pending.back();
  const auto now = Clock::now();
  const bool paced = is_bulk_in(added) && now < c.next_in_packet;
  if (first_on_endpoint(c, added) && !paced && try_finish_locked(w, d, added)) {
    if (is_bulk_in(added) && added.status == 0) c.next_in_packet = now + PACKET_GAP;
    std::unique_ptr<Urb> owned = std::move(c.pending.back());
    c.pending.pop_back();
    finish_locked(w, c, std::move(owned));
  } else {
    w.cv.notify_all();
  }
  complete(client, 0, 0);
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  Frontend& f = *Frontend::instance;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  f.sweep_locked(w);
  Client* c = f.client_locked(w, client);
  if (!c) {
    complete(client, -1, ENODEV);
    return TRUE;
  }
  f.handle_locked(w, client, c);
  return TRUE;
}

// Finishes pending URBs whenever the model may have moved: at its next event, or when woken.
void Frontend::pump() {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  for (;;) {
    auto now = Clock::now();
    sweep_locked(w);
    Clock::time_point until = Clock::time_point::max();
    for (auto& [_, c] : clients) {
      if (!c->pending.empty() && progress_locked(w, *c, now)) {
        if (auto ev = w.next_event_locked(c->device->adapter)) until = std::min(until, *ev);
        if (c->next_in_packet > now) until = std::min(until, c->next_in_packet);
      }
      if (auto next = release_delayed_locked(*c, now)) until = std::min(until, *next);
    }
    // Closed files are only noticed by looking, so look now and then while any are open.
    if (!clients.empty()) until = std::min(until, now + std::chrono::milliseconds(5));
    if (until == Clock::time_point::max()) {
      w.cv.wait(lk);
    } else {
      w.cv.wait_until(lk, until);
    }
  }
}

Frontend::Frontend(UMockdevTestbed* tb) : testbed(tb), handler(umockdev_ioctl_base_new()) {
  gchar* dir = umockdev_testbed_get_root_dir(tb);
  root = dir;
  g_free(dir);
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), nullptr);
}

std::string devnode_of(const Adapter& a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "/dev/bus/usb/%03u/%03u", a.bus_number, a.address);
  return buf;
}

// A one-page FIFO at the device node, filled so that it starts out not writable.
int make_fifo(const std::string& path) {
  std::string dir = path.substr(0, path.rfind('/'));
  if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) return -1;
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0666) != 0) return -1;
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(PIPE_PAGE)) < 0) {
    ::close(fd);
    return -1;
  }
  static const char page[PIPE_PAGE] = {};
  if (::write(fd, page, sizeof page) != static_cast<ssize_t>(sizeof page)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct Publication {
  int adapter;
  uint64_t generation;
  std::string devnode, name;
  std::string busnum, devnum, serial;
  std::vector<uint8_t> descriptors;
};

int Frontend::publish() {
  std::lock_guard plk(publish_mu);
  World& w = World::get();
  std::vector<Publication> add;
  std::vector<Device*> remove;
  {
    std::lock_guard lk(w.mu);
    for (auto& d : devices) {
      if (d->removed || !gone_locked(w, *d)) continue;
      remove.push_back(d.get());
      // Unplugged: every URB in flight ends as the kernel ends it, and later calls fail.
      for (auto& [_, c] : clients)
        if (c->device == d.get()) progress_locked(w, *c, Clock::now());
    }
    for (auto& a : w.adapters) {
      if (!a->plugged) continue;
      bool known = false;
      for (auto& d : devices)
        if (!d->removed && d->adapter == a->index && d->generation == w.generation) known = true;
      if (known) continue;
      auto desc = vsim::device_descriptor_bytes(*a);
      auto cfg = vsim::config_descriptor_bytes();
      desc.insert(desc.end(), cfg.begin(), cfg.end());
      add.push_back({a->index, w.generation, devnode_of(*a),
                     vsim::sysfs_name(*a),
                     std::to_string(a->bus_number) + "\n", std::to_string(a->address) + "\n",
                     a->serial, std::move(desc)});
    }
  }
  for (Device* d : remove) {
    umockdev_testbed_uevent(testbed, d->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, d->syspath.c_str());
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed, d->devnode.c_str(), &error);
    if (error) g_error_free(error);
    std::lock_guard lk(w.mu);
    d->removed = true;
  }
  int failures = 0;
  for (auto& p : add) {
    auto d = std::make_unique<Device>();
    d->adapter = p.adapter;
    d->generation = p.generation;
    d->devnode = p.devnode;
    gchar* sys = umockdev_testbed_add_device(
        testbed, "usb", p.name.c_str(), nullptr,
        "busnum", p.busnum.c_str(), "devnum", p.devnum.c_str(), "speed", "12\n",
        "bConfigurationValue", "1\n", "idVendor", "16c0\n", "idProduct", "27d8\n", nullptr,
        "DEVTYPE", "usb_device", "DEVNAME", p.devnode.c_str(), "BUSNUM", p.busnum.substr(0, p.busnum.size() - 1).c_str(),
        "DEVNUM", p.devnum.substr(0, p.devnum.size() - 1).c_str(), nullptr);
    if (!sys) {
      ++failures;
      continue;
    }
    d->syspath = sys;
    g_free(sys);
    umockdev_testbed_set_attribute_binary(testbed, d->syspath.c_str(), "descriptors",
                                          p.descriptors.data(), p.descriptors.size());
    if (!p.serial.empty())
      umockdev_testbed_set_attribute(testbed, d->syspath.c_str(), "serial", (p.serial + "\n").c_str());
    d->fifo = make_fifo(root + d->devnode);
    GError* error = nullptr;
    if (d->fifo < 0 || !umockdev_testbed_attach_ioctl(testbed, d->devnode.c_str(), handler, &error)) {
      if (error) g_error_free(error);
      ++failures;
    }
    // Adding the device announced it before its descriptors and node existed, and a libusb
    // that handled that event at once dropped the device it could not read. Announced again
    // now that it is whole: a libusb that has it already ignores this.
    umockdev_testbed_uevent(testbed, d->syspath.c_str(), "add");
    std::lock_guard lk(w.mu);
    devices.push_back(std::move(d));
  }
  return failures == 0 ? 0 : -1;
}

void adapters_changed() {
  if (Frontend::instance) Frontend::instance->publish();
}

}  // namespace

extern "C" {

int vsim_umockdev_start(void) {
  static std::mutex start_mu;
  std::lock_guard lk(start_mu);
  if (Frontend::instance) return 0;
  // Without the preload library nothing would reach the testbed; it is known by a symbol of its own.
  if (!dlsym(RTLD_DEFAULT, "ioctl_tree_new_from_bin")) return -1;
  UMockdevTestbed* tb = umockdev_testbed_new();
  if (!tb) return -1;
  // Never freed: the process's libusb keeps the emulated files open until it exits.
  auto* f = new Frontend(tb);
  Frontend::instance = f;
  std::thread([f] { f->pump(); }).detach();
  World::get().adapters_changed = adapters_changed;
  // The testbed's files go with the process; its sockets and threads die with it anyway.
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(Frontend::instance->root, ec);
  });
  return f->publish();
}

const char* vsim_umockdev_dir(void) {
  return Frontend::instance ? Frontend::instance->root.c_str() : nullptr;
}

}  // extern "C"
