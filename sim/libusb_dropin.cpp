// Drop-in libusb-1.0.so.0: libusb's synchronous API implemented over the simulated adapters (the
// asynchronous transfers are in dropin_async.cpp).
//
// Put this library's folder first on LD_LIBRARY_PATH and every program that links libusb-1.0
// (the extension module, pyusb through ctypes) talks to the device model instead of the kernel.
// It keeps libusb's semantics where callers can see them: real-time time-outs with 0 meaning no
// limit, `transferred` counts on time-out, libusb's error codes, reference-counted contexts and
// devices, and every call safe from many threads at once.
#include "dropin.h"
#include "usb_error_text.h"
#ifdef _WIN32
#include <processthreadsapi.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

using vsim::Clock;
using vsim::World;
namespace st = vsim::status;
using vsim::dropin::adapter_of_locked;
using vsim::dropin::attached;
using vsim::dropin::resolve_locked;

static_assert(st::io == LIBUSB_ERROR_IO && st::invalid_param == LIBUSB_ERROR_INVALID_PARAM &&
              st::access == LIBUSB_ERROR_ACCESS && st::no_device == LIBUSB_ERROR_NO_DEVICE &&
              st::not_found == LIBUSB_ERROR_NOT_FOUND && st::busy == LIBUSB_ERROR_BUSY &&
              st::timeout == LIBUSB_ERROR_TIMEOUT && st::overflow == LIBUSB_ERROR_OVERFLOW &&
              st::pipe == LIBUSB_ERROR_PIPE && st::interrupted == LIBUSB_ERROR_INTERRUPTED &&
              st::no_mem == LIBUSB_ERROR_NO_MEM && st::not_supported == LIBUSB_ERROR_NOT_SUPPORTED &&
              st::other == LIBUSB_ERROR_OTHER);

// Which adapter of which world generation a device stands for; the shared bus's server names
// devices to its clients by it.
std::pair<int, uint64_t> vsim_dropin_identity(libusb_device* dev) { return {dev->adapter, dev->generation}; }

namespace {

libusb_context* g_default_ctx = nullptr;
int g_default_refs = 0;

#ifdef _WIN32
int this_thread_id() { return static_cast<int>(GetCurrentThreadId()); }
#else
int this_thread_id() { return static_cast<int>(syscall(SYS_gettid)); }
#endif

uint64_t ns_of(Clock::time_point t) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

void maybe_free_context_locked(libusb_context* ctx) {
  if (ctx->exited && ctx->devices == 0) delete ctx;
}

void unref_device_locked(World& w, libusb_device* dev) {
  if (--dev->refs > 0) return;
  auto& cache = dev->ctx->cache;
  cache.erase(std::remove(cache.begin(), cache.end(), dev), cache.end());
  --dev->ctx->devices;
  --w.device_refs;
  libusb_context* ctx = dev->ctx;
  delete dev;
  maybe_free_context_locked(ctx);
}

Clock::time_point deadline_of(unsigned int timeout_ms, Clock::time_point start) {
  return timeout_ms == 0 ? Clock::time_point::max()
                         : start + std::chrono::milliseconds(timeout_ms);
}

// Waits until `deadline`, or until the model has an event due sooner, or something changes.
void wait_locked(World& w, std::unique_lock<std::mutex>& lk, int adapter,
                 Clock::time_point deadline) {
  Clock::time_point until = deadline;
  if (auto ev = w.next_event_locked(adapter)) until = std::min(until, *ev);
  if (until == Clock::time_point::max()) {
    w.cv.wait(lk);
  } else {
    w.cv.wait_until(lk, until);
  }
}

// Sleeps out a scripted time-out; an unplug or a reset ends it early with NO_DEVICE.
int wait_for_timeout_locked(World& w, std::unique_lock<std::mutex>& lk, libusb_device* dev,
                            Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    if (!adapter_of_locked(w, dev)) return LIBUSB_ERROR_NO_DEVICE;
    wait_locked(w, lk, -1, deadline);
  }
  return LIBUSB_ERROR_TIMEOUT;
}

void copy_to_log(vsim::LogEntry& e, const unsigned char* data, int len) {
  if (!data || len <= 0) return;
  e.data_len = static_cast<uint16_t>(std::min<int>(len, static_cast<int>(e.data.size())));
  std::memcpy(e.data.data(), data, e.data_len);
}

// Keeps the descriptor tree of one configuration in one allocation; `cfg` comes first so that
// the pointer handed out is also the pointer of the whole block.
struct ConfigBlock {
  libusb_config_descriptor cfg;
  libusb_interface iface;
  libusb_interface_descriptor alt;
  libusb_endpoint_descriptor eps[2];
};

libusb_config_descriptor* make_config() {
  auto* b = new (std::nothrow) ConfigBlock{};
  if (!b) return nullptr;
  auto raw = vsim::config_descriptor_bytes();
  b->cfg.bLength = raw[0];
  b->cfg.bDescriptorType = raw[1];
  b->cfg.wTotalLength = static_cast<uint16_t>(raw[2] | raw[3] << 8);
  b->cfg.bNumInterfaces = raw[4];
  b->cfg.bConfigurationValue = raw[5];
  b->cfg.iConfiguration = raw[6];
  b->cfg.bmAttributes = raw[7];
  b->cfg.MaxPower = raw[8];
  b->cfg.interface = &b->iface;
  b->iface.altsetting = &b->alt;
  b->iface.num_altsetting = 1;
  const uint8_t* i = &raw[9];
  b->alt.bLength = i[0];
  b->alt.bDescriptorType = i[1];
  b->alt.bInterfaceNumber = i[2];
  b->alt.bAlternateSetting = i[3];
  b->alt.bNumEndpoints = i[4];
  b->alt.bInterfaceClass = i[5];
  b->alt.bInterfaceSubClass = i[6];
  b->alt.bInterfaceProtocol = i[7];
  b->alt.iInterface = i[8];
  b->alt.endpoint = b->eps;
  for (int k = 0; k < 2; ++k) {
    const uint8_t* e = &raw[18 + 7 * static_cast<size_t>(k)];
    b->eps[k].bLength = e[0];
    b->eps[k].bDescriptorType = e[1];
    b->eps[k].bEndpointAddress = e[2];
    b->eps[k].bmAttributes = e[3];
    b->eps[k].wMaxPacketSize = static_cast<uint16_t>(e[4] | e[5] << 8);
    b->eps[k].bInterval = e[6];
  }
  return &b->cfg;
}

// The context's device object for an adapter, made on first listing and shared until unreferenced.
libusb_device* device_for_locked(World& w, libusb_context* ctx, int adapter, uint64_t generation,
                                 vsim::Adapter* model) {
  for (auto* d : ctx->cache)
    if (d->adapter == adapter && d->generation == generation) {
      ++d->refs;
      return d;
    }
  auto* dev = new (std::nothrow) libusb_device{ctx, adapter, generation, 1, model};
  if (!dev) return nullptr;
  ctx->cache.push_back(dev);
  ++ctx->devices;
  ++w.device_refs;
  return dev;
}

// Completes a transfer that reached the adapter only after its USB round trip (and at the next
// USB frame boundary where frames are set); the world's lock is not held meanwhile.
void round_trip(World& w, std::unique_lock<std::mutex>& lk, int adapter, int result) {
  if (result == LIBUSB_ERROR_TIMEOUT || result == LIBUSB_ERROR_NO_DEVICE || result == LIBUSB_ERROR_INVALID_PARAM) return;
  auto now = Clock::now();
  auto at = w.usb_done_at_locked(adapter, now);
  if (at <= now) return;
  lk.unlock();
  std::this_thread::sleep_until(at);
}

uint64_t g_next_handle_id = 1;  // guarded by World::mu

}  // namespace

namespace vsim::dropin {

Adapter* adapter_of_locked(World& w, const libusb_device* dev) {
  if (dev->generation != w.generation) return nullptr;
  Adapter* a = w.adapter_locked(dev->adapter);
  return a && a->plugged ? a : nullptr;
}

link::Client* attached() { return link::client(); }

libusb_context* resolve_locked(libusb_context* ctx) { return ctx ? ctx : g_default_ctx; }

}  // namespace vsim::dropin

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (w.init_error_count > 0) {
    --w.init_error_count;
    return w.init_error;
  }
  if (!ctx) {
    if (g_default_refs++ == 0) {
      g_default_ctx = new (std::nothrow) libusb_context{};
      if (!g_default_ctx) {
        g_default_refs = 0;
        return LIBUSB_ERROR_NO_MEM;
      }
      ++w.contexts;
    }
    return 0;
  }
  auto* c = new (std::nothrow) libusb_context{};
  if (!c) return LIBUSB_ERROR_NO_MEM;
  ++w.contexts;
  *ctx = c;
  return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (!ctx) {
    if (g_default_refs == 0 || --g_default_refs > 0) return;
    ctx = g_default_ctx;
    g_default_ctx = nullptr;
  }
  if (!ctx || ctx->exited) return;
  ctx->exited = true;
  --w.contexts;
  maybe_free_context_locked(ctx);
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return 0; }

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version v = {1, 0, 26, 0, "", "vorel simulated adapters"};
  return &v;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
  }
}

const char* LIBUSB_CALL libusb_strerror(int code) { return vorel::usb_error_text(code).data(); }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  ctx = resolve_locked(ctx);
  if (!ctx || !list) return LIBUSB_ERROR_INVALID_PARAM;
  if (w.list_error_count > 0) {
    --w.list_error_count;
    return w.list_error;
  }
  std::vector<vsim::link::Listed> found;
  if (auto* link = attached()) {
    // The server answers without this process's lock held: it may take a while.
    lk.unlock();
    int r = link->list(found);
    lk.lock();
    if (r < 0) return r;
  } else {
    for (int idx : w.attached_locked()) found.push_back({idx, w.generation, 0, 0, {}});
  }
  auto** out = static_cast<libusb_device**>(std::calloc(found.size() + 1, sizeof(libusb_device*)));
  if (!out) return LIBUSB_ERROR_NO_MEM;
  size_t n = 0;
  for (auto& f : found) {
    libusb_device* dev = device_for_locked(w, ctx, f.adapter, f.generation, attached() ? nullptr : w.adapter_locked(f.adapter));
    if (!dev) continue;
    dev->listed = f;
    out[n++] = dev;
  }
  *list = out;
  return static_cast<ssize_t>(n);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (!list) return;
  if (unref_devices) {
    World& w = World::get();
    std::lock_guard lk(w.mu);
    for (auto** p = list; *p; ++p) unref_device_locked(w, *p);
  }
  std::free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  ++dev->refs;
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (!dev) return;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  unref_device_locked(w, dev);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  if (attached()) return dev->listed.bus_number;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  auto* a = w.adapter_locked(dev->adapter);
  return a ? a->bus_number : 0;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  if (attached()) return dev->listed.address;
  World& w = World::get();
  std::lock_guard lk(w.mu);
  auto* a = w.adapter_locked(dev->adapter);
  return a ? a->address : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  return static_cast<uint8_t>(1 + dev->adapter % 250);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int len) {
  if (len < 1) return LIBUSB_ERROR_OVERFLOW;
  ports[0] = libusb_get_port_number(dev);
  return 1;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_FULL; }

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
  return endpoint == vsim::ENDPOINT_IN || endpoint == vsim::ENDPOINT_OUT ? 64 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
  return libusb_get_max_packet_size(dev, endpoint);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
  World& w = World::get();
  std::vector<uint8_t> d;
  if (attached()) {
    d.assign(dev->listed.descriptor.begin(), dev->listed.descriptor.end());
  } else {
    std::lock_guard lk(w.mu);
    if (dev->generation != w.generation) return LIBUSB_ERROR_NO_DEVICE;
    auto* a = w.adapter_locked(dev->adapter);
    if (!a) return LIBUSB_ERROR_NO_DEVICE;
    d = vsim::device_descriptor_bytes(*a);
  }
  desc->bLength = d[0];
  desc->bDescriptorType = d[1];
  desc->bcdUSB = static_cast<uint16_t>(d[2] | d[3] << 8);
  desc->bDeviceClass = d[4];
  desc->bDeviceSubClass = d[5];
  desc->bDeviceProtocol = d[6];
  desc->bMaxPacketSize0 = d[7];
  desc->idVendor = static_cast<uint16_t>(d[8] | d[9] << 8);
  desc->idProduct = static_cast<uint16_t>(d[10] | d[11] << 8);
  desc->bcdDevice = static_cast<uint16_t>(d[12] | d[13] << 8);
  desc->iManufacturer = d[14];
  desc->iProduct = d[15];
  desc->iSerialNumber = d[16];
  desc->bNumConfigurations = d[17];
  return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
  if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
  *config = make_config();
  return *config ? 0 : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    struct libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config) {
  if (value != 1) return LIBUSB_ERROR_NOT_FOUND;
  return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  delete reinterpret_cast<ConfigBlock*>(config);
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  World& w = World::get();
  uint32_t remote = 0;
  if (auto* link = attached()) {
    if (int r = link->open(dev->adapter, dev->generation, remote); r != 0) return r;
  }
  std::lock_guard lk(w.mu);
  if (!attached()) {
    auto* a = adapter_of_locked(w, dev);
    if (!a) return LIBUSB_ERROR_NO_DEVICE;
    if (a->open_error != 0) return a->open_error;
  }
  auto* h = new (std::nothrow) libusb_device_handle{dev, 0, remote, g_next_handle_id++};
  if (!h) {
    if (auto* link = attached()) link->close(remote);
    return LIBUSB_ERROR_NO_MEM;
  }
  ++dev->refs;
  ++w.handles;
  *handle = h;
  return 0;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) return nullptr;
  libusb_device_handle* h = nullptr;
  for (ssize_t i = 0; i < n && !h; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vendor_id &&
        d.idProduct == product_id && libusb_open(list[i], &h) != 0)
      h = nullptr;
  }
  libusb_free_device_list(list, 1);
  return h;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
  if (!h) return;
  if (auto* link = attached()) link->close(h->remote);
  World& w = World::get();
  std::lock_guard lk(w.mu);
  // Closing the handle gives up its claims, as closing the usbfs file does.
  if (h->claimed) {
    if (!attached() && h->dev->generation == w.generation) {
      if (auto* a = w.adapter_locked(h->dev->adapter); a && a->claim_owner == h)
        a->claim_owner = nullptr;
    }
    w.claims -= __builtin_popcount(h->claimed);
  }
  --w.handles;
  libusb_device* dev = h->dev;
  delete h;
  unref_device_locked(w, dev);
  w.cv.notify_all();
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) { return h->dev; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* h, int* config) {
  if (attached()) {
    *config = 1;
    return 0;
  }
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (!adapter_of_locked(w, h->dev)) return LIBUSB_ERROR_NO_DEVICE;
  *config = 1;
  return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* h, int config) {
  if (auto* link = attached()) return link->set_configuration(h->remote, config);
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (!adapter_of_locked(w, h->dev)) return LIBUSB_ERROR_NO_DEVICE;
  return config == 1 || config == -1 || config == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int iface) {
  World& w = World::get();
  if (iface < 0 || iface >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  if (auto* link = attached()) {
    int r = link->claim(h->remote, iface);
    std::lock_guard lk(w.mu);
    if (r == 0 && !(h->claimed & (1u << iface))) {
      h->claimed |= 1u << iface;
      ++w.claims;
    }
    return r;
  }
  std::lock_guard lk(w.mu);
  auto* a = adapter_of_locked(w, h->dev);
  if (!a) return LIBUSB_ERROR_NO_DEVICE;
  if (iface != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (h->claimed & 1u) return 0;
  if (a->claim_error != 0) return a->claim_error;
  if (a->claim_owner) return LIBUSB_ERROR_BUSY;  // another handle, as another usbfs file
  a->claim_owner = h;
  h->claimed |= 1u;
  ++w.claims;
  return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int iface) {
  World& w = World::get();
  std::unique_lock lk(w.mu);
  if (iface < 0 || iface >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  if (!(h->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
  if (auto* link = attached()) {
    lk.unlock();
    int r = link->release(h->remote, iface);
    lk.lock();
    if (r == 0 || r == LIBUSB_ERROR_NO_DEVICE) {
      h->claimed &= ~(1u << iface);
      --w.claims;
    }
    return r;
  }
  auto* a = adapter_of_locked(w, h->dev);
  if (!a) return LIBUSB_ERROR_NO_DEVICE;
  if (a->claim_owner == h) a->claim_owner = nullptr;
  h->claimed &= ~(1u << iface);
  --w.claims;
  w.cv.notify_all();
  return 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* h, int iface, int alt) {
  if (auto* link = attached()) return link->set_alt_setting(h->remote, iface, alt);
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (!adapter_of_locked(w, h->dev)) return LIBUSB_ERROR_NO_DEVICE;
  if (!(h->claimed & 1u) || iface != 0) return LIBUSB_ERROR_NOT_FOUND;
  return alt == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h) {
  if (auto* link = attached()) return link->reset(h->remote);
  World& w = World::get();
  std::lock_guard lk(w.mu);
  return adapter_of_locked(w, h->dev) ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
  if (auto* link = attached()) return link->clear_halt(h->remote, endpoint);
  World& w = World::get();
  std::lock_guard lk(w.mu);
  auto* a = adapter_of_locked(w, h->dev);
  if (!a) return LIBUSB_ERROR_NO_DEVICE;
  if (endpoint == vsim::ENDPOINT_OUT) a->stall_out = false;
  else if (endpoint == vsim::ENDPOINT_IN) a->stall_in = false;
  else return LIBUSB_ERROR_NOT_FOUND;
  return 0;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return 0; }

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length,
                                        unsigned int timeout) {
  if (auto* link = attached()) {
    int r = link->control(h->remote, request_type, request, value, index, {data, data ? length : 0u}, timeout);
    vsim::dropin::handle_due_events(h->dev->ctx);
    return r;
  }
  World& w = World::get();
  std::unique_lock lk(w.mu);
  auto start = Clock::now();
  vsim::LogEntry e;
  e.t_ns = ns_of(start);
  e.thread = this_thread_id();
  e.adapter = h->dev->adapter;
  e.kind = 0;
  e.request_type = request_type;
  e.request = request;
  e.value = value;
  e.index = index;
  e.length = length;
  e.timeout_ms = timeout;
  bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
  if (!in) copy_to_log(e, data, length);
  int r;
  if (h->dev->generation != w.generation) {
    r = LIBUSB_ERROR_NO_DEVICE;
  } else {
    bool wait_timeout = false;
    std::span<uint8_t> buf(data, data ? length : 0);
    if (in) std::fill(buf.begin(), buf.end(), 0);
    r = w.control_locked(h->dev->adapter, request_type, request, value, index, buf, wait_timeout);
    if (wait_timeout) r = wait_for_timeout_locked(w, lk, h->dev, deadline_of(timeout, start));
  }
  if (in && r > 0) copy_to_log(e, data, r);
  e.result = r;
  e.transferred = r > 0 ? r : 0;
  w.log_locked(e);
  round_trip(w, lk, h->dev->adapter, r);
  if (lk.owns_lock()) lk.unlock();
  vsim::dropin::handle_due_events(h->dev->ctx);
  return r;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
  if (auto* link = attached()) {
    int moved = 0;
    if (length < 0 || (!data && length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    int r = link->bulk(h->remote, endpoint, {data, static_cast<size_t>(length)}, moved, timeout);
    if (transferred) *transferred = moved;
    return r;
  }
  World& w = World::get();
  // Fast path of a sink adapter with nothing to log or inject: no lock, so that writers on
  // several threads measure the caller's cost rather than the simulator's.
  if (vsim::Adapter* a = h->dev->model; endpoint == vsim::ENDPOINT_OUT && length >= 0 && a->sink &&
                                          a->plugged && !a->stall_out && a->bulk_faults_pending == 0 &&
                                          !w.log_enabled && h->dev->generation == w.generation) {
    // Nothing is counted here either: a shared counter would make the writers contend.
    if (transferred) *transferred = length;
    return 0;
  }
  std::unique_lock lk(w.mu);
  auto start = Clock::now();
  auto deadline = deadline_of(timeout, start);
  int adapter = h->dev->adapter;
  vsim::LogEntry e;
  e.t_ns = ns_of(start);
  e.thread = this_thread_id();
  e.adapter = adapter;
  e.kind = 1;
  e.endpoint = endpoint;
  e.length = static_cast<uint16_t>(std::clamp(length, 0, 0xFFFF));
  e.timeout_ms = timeout;
  int moved = 0;
  int r;
  if (length < 0 || (!data && length > 0)) {
    r = LIBUSB_ERROR_INVALID_PARAM;
  } else if (!adapter_of_locked(w, h->dev)) {
    r = LIBUSB_ERROR_NO_DEVICE;
  } else if (auto fault = w.take_bulk_fault_locked(adapter, endpoint)) {
    r = fault->error;
    if (r == LIBUSB_ERROR_TIMEOUT) r = wait_for_timeout_locked(w, lk, h->dev, deadline);
    moved = std::min(fault->transferred, length);
  } else if (endpoint == vsim::ENDPOINT_OUT) {
    copy_to_log(e, data, length);
    std::span<const uint8_t> out(data, static_cast<size_t>(length));
    for (;;) {
      r = w.bulk_out_locked(adapter, out, moved);
      if (r != st::would_block) break;
      if (Clock::now() >= deadline) {
        r = LIBUSB_ERROR_TIMEOUT;
        break;
      }
      wait_locked(w, lk, adapter, deadline);
    }
  } else if (endpoint == vsim::ENDPOINT_IN) {
    std::span<uint8_t> in(data, static_cast<size_t>(length));
    std::fill(in.begin(), in.end(), 0);
    for (;;) {
      r = w.bulk_in_locked(adapter, in, moved);
      if (r != st::would_block) break;
      if (Clock::now() >= deadline) {
        r = LIBUSB_ERROR_TIMEOUT;
        break;
      }
      wait_locked(w, lk, adapter, deadline);
    }
    copy_to_log(e, data, moved);
  } else {
    r = LIBUSB_ERROR_NOT_FOUND;
  }
  if (transferred) *transferred = moved;
  e.result = r;
  e.transferred = moved;
  w.log_locked(e);
  round_trip(w, lk, adapter, r);
  if (lk.owns_lock()) lk.unlock();
  vsim::dropin::handle_due_events(h->dev->ctx);
  return r;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*,
                                          int, int* transferred, unsigned int) {
  if (transferred) *transferred = 0;
  return LIBUSB_ERROR_NOT_FOUND;  // the adapter has no interrupt endpoints
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t desc_index,
                                                   unsigned char* data, int length) {
  if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (auto* link = attached()) return link->string_ascii(h->remote, desc_index, {data, static_cast<size_t>(length)});
  {
    // The raw mode hands back the serial's bytes unconverted, so callers' UTF-8 checks can be
    // exercised; real libusb turns every non-ASCII code unit into '?'.
    World& w = World::get();
    std::lock_guard lk(w.mu);
    auto* a = adapter_of_locked(w, h->dev);
    if (a && a->serial_mode == vsim::SerialMode::raw && desc_index == 3) {
      int n = std::min<int>(static_cast<int>(a->serial.size()), length - 1);
      std::memcpy(data, a->serial.data(), static_cast<size_t>(n));
      data[n] = 0;
      return n;
    }
  }
  unsigned char buf[255];
  int r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  LIBUSB_DT_STRING << 8, 0, buf, 4, 1000);
  if (r < 0) return r;
  if (r != 4 || buf[0] < 4 || buf[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  uint16_t langid = static_cast<uint16_t>(buf[2] | buf[3] << 8);
  r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | desc_index), langid,
                              buf, sizeof buf, 1000);
  if (r < 0) return r;
  if (r < 2 || buf[0] > r || buf[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  int di = 0;
  for (int si = 2; si < buf[0] - 1 && di < length - 1; si += 2)
    data[di++] = (buf[si] & 0x80) || buf[si + 1] ? '?' : buf[si];
  data[di] = 0;
  return di;
}

}  // extern "C"
