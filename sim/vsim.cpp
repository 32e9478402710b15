// C control API over the device model: what tests, benchmarks and the demo use to script adapters.
#include <algorithm>
#include <cstring>

#include "model.h"
#include "vsim.h"

using vsim::Adapter;
using vsim::World;

namespace {

// Runs `fn` on adapter `a` under the world lock; -1 for an unknown index.
template <typename Fn>
int with_adapter(int a, Fn fn) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  Adapter* ad = w.adapter_locked(a);
  if (!ad) return -1;
  fn(w, *ad);
  w.cv.notify_all();
  return 0;
}

// One counter of the world, read under its lock.
int locked_read(int World::*counter) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  return w.*counter;
}

// Injected records queue as frames off the bus do, into a queue that may be full.
void queue_for_host(Adapter& ad, const std::array<uint8_t, vorel::rx::SIZE>& rec) {
  if (ad.rx_queue.size() >= ad.rx_capacity) {
    ++ad.rx_overflows;
    return;
  }
  ad.rx_queue.push_back(rec);
}

}  // namespace

extern "C" {

void vsim_reset(void) { World::get().reset(); }

int vsim_add_adapter(const char* serial) {
  return World::get().add_adapter(serial ? std::optional<std::string>(serial) : std::nullopt);
}

int vsim_adapter_count(void) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  return static_cast<int>(w.adapters.size());
}

int vsim_join(int a, int b) {
  if (a < 0 || b < 0 || a >= vsim_adapter_count() || b >= vsim_adapter_count()) return -1;
  World::get().join(a, b);
  return 0;
}

uint64_t vsim_now_ns(void) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(vsim::Clock::now().time_since_epoch())
          .count());
}

int vsim_set_serial_mode(int a, int mode) {
  if (mode < 0 || mode > 3) return -1;
  return with_adapter(a, [&](World&, Adapter& ad) { ad.serial_mode = vsim::SerialMode(mode); });
}

int vsim_set_name(int a, const uint8_t* name, size_t len) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.name.fill(0);
    std::copy_n(name, std::min(len, ad.name.size()), ad.name.begin());
  });
}

int vsim_set_capabilities(int a, uint32_t clock_freq, uint32_t tx_size, uint32_t rx_size,
                          uint32_t ctrlmode_supported, uint32_t features) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    vsim::put_u32(ad.capabilities, 0, clock_freq);
    vsim::put_u32(ad.capabilities, 4, tx_size);
    ad.set_rx_capacity(rx_size);
    vsim::put_u32(ad.capabilities, 12, ctrlmode_supported);
    vsim::put_u32(ad.capabilities, 16, features);
  });
}

int vsim_set_bt_const(int a, const uint32_t limits[8]) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    for (int i = 0; i < 8; ++i) vsim::put_u32(ad.bt_const, 16 + 4 * static_cast<size_t>(i), limits[i]);
  });
}

int vsim_set_device_info(int a, const uint8_t hw[4], const uint8_t fw[4], uint8_t channels) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    std::copy_n(hw, 4, ad.device_info.begin());
    std::copy_n(fw, 4, ad.device_info.begin() + 4);
    ad.device_info[16] = channels;
  });
}

int vsim_set_error_counters(int a, uint32_t rx, uint32_t tx) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.rx_error_count = rx;
    ad.tx_error_count = tx;
  });
}

int vsim_set_tx_fifo(int a, uint32_t capacity) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.tx_fifo_capacity = capacity; });
}

int vsim_set_sink(int a, int on) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.sink = on != 0; });
}

int vsim_set_clock(int a, uint64_t offset_us, int bits) {
  if (bits < 1 || bits > 64) return -1;
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.clock_offset_us = offset_us;
    ad.clock_bits = bits;
  });
}

int vsim_set_drift(int a, double ppm) {
  if (!(ppm > -1e6 && ppm < 1e6)) return -1;
  return with_adapter(a, [&](World&, Adapter& ad) { ad.drift_ppm = ppm; });
}

uint64_t vsim_adapter_time_us(int a, uint64_t t_ns) {
  uint64_t ts = 0;
  with_adapter(a, [&](World&, Adapter& ad) {
    ts = ad.now_us(vsim::Clock::time_point(std::chrono::nanoseconds(t_ns)));
  });
  return ts;
}

int vsim_set_rx_queue(int a, uint32_t frames) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.set_rx_capacity(frames); });
}

int vsim_set_usb_latency(int a, uint32_t fixed_us, uint32_t jitter_us) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.usb_latency = std::chrono::microseconds(fixed_us);
    ad.usb_jitter = std::chrono::microseconds(jitter_us);
  });
}

int vsim_set_usb_frame(int a, uint32_t frame_us) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.usb_frame = std::chrono::microseconds(frame_us); });
}

int vsim_add_traffic(int a, const char* spec) {
  auto node = spec ? vsim::parse_traffic(spec) : std::nullopt;
  return node ? World::get().add_node(a, *node) : -1;
}

int vsim_add_load(int a, const char* spec) {
  auto node = spec ? vsim::parse_load(spec) : std::nullopt;
  return node ? World::get().add_node(a, *node) : -1;
}

uint64_t vsim_bus_busy_ns(int a) {
  uint64_t ns = 0;
  with_adapter(a, [&](World& w, Adapter& ad) {
    w.advance_locked(vsim::Clock::now());
    ns = w.buses[ad.bus].busy_ns;
  });
  return ns;
}

int vsim_set_capture(const char* path, int append) {
  return World::get().set_capture(path, append != 0) ? 0 : -1;
}

int vsim_inject_rx(int a, const uint8_t* records, size_t len) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    for (size_t off = 0; off + vorel::rx::SIZE <= len; off += vorel::rx::SIZE) {
      std::array<uint8_t, vorel::rx::SIZE> rec;
      std::copy_n(records + off, rec.size(), rec.begin());
      queue_for_host(ad, rec);
    }
  });
}

int vsim_inject_frame(int a, uint32_t id_word, uint8_t flags, uint8_t dlc, const uint8_t* data,
                      size_t len) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    std::array<uint8_t, vorel::rx::SIZE> rec{};
    rec[1] = dlc;
    rec[2] = flags;
    vsim::put_u32(rec, 4, id_word);
    std::copy_n(data, std::min<size_t>(len, 8), rec.begin() + 8);
    uint64_t ts = ad.now_us(vsim::Clock::now());
    for (int i = 0; i < 8; ++i) rec[16 + static_cast<size_t>(i)] = static_cast<uint8_t>(ts >> (8 * i));
    queue_for_host(ad, rec);
  });
}

int vsim_script_answer(int a, uint8_t request, const uint8_t* data, size_t len, int count) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.scripted[request].push_back(vsim::ScriptedAnswer{std::vector<uint8_t>(data, data + len), count});
  });
}

int vsim_clear_scripts(int a) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.scripted.clear();
    ad.control_faults.clear();
    ad.bulk_faults.clear();
    ad.bulk_faults_pending = 0;
  });
}

int vsim_fail_control(int a, int request, int direction, int error, int count) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.control_faults.push_back(vsim::ControlFault{request, direction, error, count});
  });
}

int vsim_fail_bulk(int a, uint8_t endpoint, int error, int transferred, int count) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    ad.bulk_faults.push_back(vsim::BulkFault{endpoint, error, transferred, count});
    ad.bulk_faults_pending = static_cast<int>(ad.bulk_faults.size());
  });
}

int vsim_set_open_error(int a, int error) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.open_error = error; });
}

int vsim_set_claim_error(int a, int error) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.claim_error = error; });
}

int vsim_set_stall(int a, uint8_t endpoint, int on) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    if (endpoint == vsim::ENDPOINT_OUT) ad.stall_out = on != 0;
    if (endpoint == vsim::ENDPOINT_IN) ad.stall_in = on != 0;
  });
}

int vsim_set_hostile(int a, uint64_t seed) {
  return with_adapter(a, [&](World&, Adapter& ad) { ad.hostile_seed = seed; });
}

int vsim_unplug(int a) {
  int r = with_adapter(a, [&](World&, Adapter& ad) { ad.plugged = false; });
  if (r == 0) World::get().notify_adapters_changed();
  return r;
}

void vsim_fail_init(int error, int count) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  w.init_error = error;
  w.init_error_count = count;
}

void vsim_fail_device_list(int error, int count) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  w.list_error = error;
  w.list_error_count = count;
}

int vsim_get_state(int a, struct vsim_state* out) {
  return with_adapter(a, [&](World&, Adapter& ad) {
    std::memset(out, 0, sizeof *out);
    out->plugged = ad.plugged;
    out->bus_on = ad.bus_on;
    out->mode = ad.mode;
    out->led_mode = ad.led_mode;
    for (size_t i = 0; i < 8; ++i) out->bittiming[i] = vsim::get_u32(ad.bittiming, 4 * i);
    std::copy(ad.name.begin(), ad.name.end(), out->name);
    out->frames_sent = ad.frames_sent;
    out->frames_received = ad.frames_received;
    out->frames_dropped = ad.frames_dropped;
    out->rx_overflows = ad.rx_overflows;
    out->rx_queued = static_cast<uint32_t>(ad.rx_queue.size());
    out->tx_queued = static_cast<uint32_t>(ad.tx_fifo.size());
    out->claimed = ad.claim_owner != nullptr;
    out->bus = ad.bus;
    out->tx_error_count = ad.tx_error_count;
    out->rx_error_count = ad.rx_error_count;
    out->tx_failures = ad.tx_failures;
  });
}

int vsim_add_ack_node(int a) { return World::get().add_ack_node(a); }

void vsim_print_summary(int fd) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  w.advance_locked(vsim::Clock::now());
  w.print_summary_locked(fd == 1 ? stdout : stderr);
}

uint64_t vsim_received_with_id(int a, uint32_t id_word) {
  uint64_t n = 0;
  with_adapter(a, [&](World&, Adapter& ad) {
    auto it = ad.received_by_id.find(id_word);
    n = it == ad.received_by_id.end() ? 0 : it->second;
  });
  return n;
}

void vsim_log_enable(int on) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  w.log_enabled = on != 0;
}

void vsim_log_clear(void) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  w.log.clear();
}

size_t vsim_log_count(void) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  return w.log.size();
}

int vsim_log_get(size_t i, struct vsim_log_entry* out) {
  World& w = World::get();
  std::lock_guard lk(w.mu);
  if (i >= w.log.size()) return -1;
  const vsim::LogEntry& e = w.log[i];  // the ring's oldest first
  std::memset(out, 0, sizeof *out);
  out->seq = e.seq;
  out->t_ns = e.t_ns;
  out->thread = e.thread;
  out->adapter = e.adapter;
  out->kind = e.kind;
  out->request_type = e.request_type;
  out->request = e.request;
  out->value = e.value;
  out->index = e.index;
  out->length = e.length;
  out->endpoint = e.endpoint;
  out->timeout_ms = e.timeout_ms;
  out->result = e.result;
  out->transferred = e.transferred;
  out->data_len = e.data_len;
  std::copy(e.data.begin(), e.data.end(), out->data);
  return 0;
}

int vsim_count_contexts(void) { return locked_read(&World::contexts); }

int vsim_count_handles(void) { return locked_read(&World::handles); }

int vsim_count_claims(void) { return locked_read(&World::claims); }

int vsim_count_devices(void) { return locked_read(&World::device_refs); }

int vsim_count_transfers(void) { return locked_read(&World::transfers); }

}  // extern "C"
