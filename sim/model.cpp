// Device model of the simulated adapter: firmware answers, the CAN bus with wire time, faults, log.
#include "model.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <cctype>
#include <cmath>
#include <ctime>
#include <thread>

namespace vsim {

namespace {

constexpr uint8_t TYPE_DIR_IN = 0x80;
constexpr uint8_t TYPE_MASK = 0x60;
constexpr uint8_t TYPE_STANDARD = 0x00;
constexpr uint8_t TYPE_VENDOR = 0x40;


// Standard request codes (USB 2.0 chapter 9).
constexpr uint8_t GET_STATUS = 0;
constexpr uint8_t CLEAR_FEATURE = 1;
constexpr uint8_t GET_DESCRIPTOR = 6;
constexpr uint8_t GET_CONFIGURATION = 8;
constexpr uint8_t SET_CONFIGURATION = 9;
constexpr uint8_t SET_INTERFACE = 11;

constexpr uint32_t DEFAULT_BITRATE = 500000;

const char* const MANUFACTURER = "VOREL";
const char* const PRODUCT = "VOREL USB CAN";

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// UTF-8 to UTF-16LE code units for string descriptors; ill-formed bytes become U+FFFD.
std::vector<uint16_t> utf16_of(const std::string& s) {
  std::vector<uint16_t> out;
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 0x6 && i + 1 < s.size()) {
      cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
      len = 2;
    } else if ((c >> 4) == 0xE && i + 2 < s.size()) {
      cp = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
           (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      len = 3;
    } else if ((c >> 3) == 0x1E && i + 3 < s.size()) {
      cp = (c & 0x07u) << 18 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12 |
           (static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6 |
           (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
      len = 4;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
  }
  return out;
}

std::vector<uint8_t> string_descriptor(const std::string& s) {
  auto units = utf16_of(s);
  size_t n = std::min<size_t>(units.size(), 126);
  std::vector<uint8_t> d(2 + 2 * n);
  d[0] = static_cast<uint8_t>(d.size());
  d[1] = 3;
  for (size_t i = 0; i < n; ++i) {
    d[2 + 2 * i] = static_cast<uint8_t>(units[i]);
    d[3 + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
  }
  return d;
}

int copy_answer(std::span<uint8_t> dst, std::span<const uint8_t> src) {
  size_t n = std::min(dst.size(), src.size());
  if (n > 0) std::memcpy(dst.data(), src.data(), n);
  return static_cast<int>(n);
}

// Bus state numbering of the firmware, derived from the error counters while the bus is on.
uint32_t error_state(uint32_t tx, uint32_t rx) {
  if (tx > 255) return 3;
  if (tx >= 128 || rx >= 128) return 2;
  if (tx >= 96 || rx >= 96) return 1;
  return 0;
}

uint32_t bus_state_of(const Adapter& a) {
  return a.bus_on ? error_state(a.tx_error_count, a.rx_error_count) : 4;  // 4: stopped
}

uint32_t id_word(std::span<const uint8_t, vorel::tx::SIZE> r) { return get_u32(r, 4); }

uint32_t bitrate_of(const Adapter& a) {
  uint32_t bitrate = get_u32(a.bittiming, 0);
  return bitrate == 0 ? DEFAULT_BITRATE : bitrate;
}

Clock::duration bit_times(uint64_t bits, uint32_t bitrate) {
  return std::chrono::nanoseconds(bits * 1000000000ull / bitrate);
}

Clock::duration wire_time(std::span<const uint8_t, vorel::tx::SIZE> record, uint32_t bitrate) {
  return bit_times(frame_bits(record), bitrate);
}

// Fault confinement as ISO 11898-1 counts it, as far as the model needs: a transmitter's error
// costs 8, a receiver's 1 (9 for the one that flagged it first), a success takes 1 back.
constexpr uint32_t ERROR_PASSIVE = 128;
constexpr uint32_t BUS_OFF = 256;
constexpr uint32_t RX_ERROR_MAX = 255;  // a receiver stays error-passive, it never goes bus-off
// An error flag, its echo by the other nodes, the delimiter and the intermission.
constexpr uint64_t ERROR_FRAME_BITS = 23;

bool bus_off(const Adapter& a) { return a.tx_error_count >= BUS_OFF; }
bool error_active(const Adapter& a) { return a.tx_error_count < ERROR_PASSIVE && a.rx_error_count < ERROR_PASSIVE; }
// Drives ACKs and error flags and receives: on, not bus-off, plugged in.
bool on_bus(const Adapter& a) { return a.plugged && a.bus_on && !bus_off(a); }
bool listening_only(const Adapter& a) { return (a.mode & vorel::CTRLMODE_LISTEN_ONLY) != 0; }
// Controllers sample each other's bits correctly within the oscillator tolerance CAN allows.
bool same_rate(uint32_t a, uint32_t b) { return 100ull * (a > b ? a - b : b - a) <= std::max(a, b); }

void clear_tx(Adapter& a) {
  a.tx_fifo.clear();
  a.tx_enqueued.clear();
  a.tx_head_on_wire = false;
}

// The frame on the wire leaves the FIFO (unless a flush took it already).
void pop_tx_head(Adapter& a) {
  if (!a.tx_head_on_wire) return;
  a.tx_head_on_wire = false;
  a.tx_fifo.pop_front();
  a.tx_enqueued.pop_front();
}

void add_rx_errors(Adapter& a, uint32_t n) { a.rx_error_count = std::min(a.rx_error_count + n, RX_ERROR_MAX); }


}  // namespace

uint64_t Adapter::now_us(Clock::time_point t) const {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - created).count();
  if (ns < 0) ns = 0;
  // The oscillator runs fast or slow by drift_ppm: its count is the true count scaled by it.
  auto scaled = static_cast<long double>(ns) * (1.0L + static_cast<long double>(drift_ppm) * 1e-6L);
  uint64_t v = static_cast<uint64_t>(scaled / 1000.0L) + clock_offset_us;
  return clock_bits >= 64 ? v : v & ((uint64_t{1} << clock_bits) - 1);
}

void Adapter::set_rx_capacity(size_t frames) {
  rx_capacity = frames;
  put_u32(capabilities, 8, static_cast<uint32_t>(std::min<size_t>(frames, UINT32_MAX)));
}

std::array<uint8_t, vorel::tx::SIZE> TrafficNode::next_record() const {
  if (kind == Kind::periodic) return record;
  std::array<uint8_t, vorel::tx::SIZE> r{};
  uint8_t dlc = frames == Frames::max8 ? 8 : frames == Frames::empty ? 0 : static_cast<uint8_t>(seq % 9);
  r[1] = dlc;
  r[3] = 1;
  put_u32(r, 4, static_cast<uint32_t>(seq & 0x7FF));
  for (size_t i = 0; i < dlc; ++i) r[8 + i] = static_cast<uint8_t>(seq >> (8 * i));
  return r;
}

uint32_t frame_bits(std::span<const uint8_t, vorel::tx::SIZE> record) {
  uint8_t flags = record[2];
  uint32_t payload = (flags & vorel::FLAG_RTR) ? 0u : 8u * std::min<uint32_t>(record[1], 8);
  return ((flags & vorel::FLAG_EXT) ? 67u : 47u) + payload;
}

std::vector<uint8_t> device_descriptor_bytes(const Adapter& a) {
  std::vector<uint8_t> d = {18,   1,    0x00, 0x02, 0x00, 0x00, 0x00, 64,
                            0,    0,    0,    0,    0x00, 0x01, 1,    2,
                            static_cast<uint8_t>(a.serial_mode == SerialMode::none ? 0 : 3), 1};
  d[8] = VENDOR_ID & 0xFF;
  d[9] = VENDOR_ID >> 8;
  d[10] = PRODUCT_ID & 0xFF;
  d[11] = PRODUCT_ID >> 8;
  return d;
}

std::vector<uint8_t> config_descriptor_bytes() {
  return {
      // configuration: 1 interface, value 1, bus powered, 100 mA
      9, 2, 32, 0, 1, 1, 0, 0x80, 50,
      // interface 0, alt 0, 2 endpoints, vendor class
      9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,
      // bulk IN 0x81 and bulk OUT 0x02, 64-byte packets
      7, 5, ENDPOINT_IN, 2, 64, 0, 0,
      7, 5, ENDPOINT_OUT, 2, 64, 0, 0,
  };
}

World& World::get() {
  // Never destroyed: detached threads (periodic workers, the traffic node) may still call in
  // while the process exits.
  static World* world = new World;
  return *world;
}

World::World() { configure_from_environment(); }

namespace {

// Strict number parsing for the configuration texts: the whole text, nothing else.
std::optional<double> number_of(const std::string& t) {
  if (t.empty() || std::isspace(static_cast<unsigned char>(t[0]))) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<uint64_t> hex_of(std::string t) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 8) return std::nullopt;
  uint64_t v = 0;
  for (char c : t) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    v = v * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return v;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

// Reports a configuration text the simulator cannot use; the process goes on without it.
void refuse(const char* what, const std::string& text) {
  std::fprintf(stderr, "vorel-sim: ignoring %s \"%s\"\n", what, text.c_str());
}

}  // namespace

std::optional<TrafficNode> parse_traffic(const std::string& spec) {
  auto parts = split(spec, ':');
  if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
  auto id = hex_of(parts[0]);
  auto period = number_of(parts[1]);
  if (!id || *id > 0x1FFFFFFF || !period || *period < 0.1 || *period > 3.6e6) return std::nullopt;
  std::string data = parts.size() == 3 ? parts[2] : "";
  if (data.size() % 2 != 0 || data.size() > 16) return std::nullopt;
  TrafficNode n;
  n.kind = TrafficNode::Kind::periodic;
  bool ext = *id > 0x7FF || parts[0].size() - (parts[0].rfind("0x", 0) == 0 || parts[0].rfind("0X", 0) == 0 ? 2 : 0) == 8;
  n.record[1] = static_cast<uint8_t>(data.size() / 2);
  n.record[2] = ext ? 0x04 : 0;
  n.record[3] = 1;
  put_u32(n.record, 4, ext ? static_cast<uint32_t>(*id) | 0x80000000u : static_cast<uint32_t>(*id));
  for (size_t i = 0; i < data.size() / 2; ++i) {
    auto byte = hex_of(data.substr(2 * i, 2));
    if (!byte) return std::nullopt;
    n.record[8 + i] = static_cast<uint8_t>(*byte);
  }
  n.period = std::chrono::nanoseconds(static_cast<int64_t>(*period * 1e6));
  return n;
}

std::optional<TrafficNode> parse_load(const std::string& spec) {
  auto parts = split(spec, ':');
  if (parts.empty() || parts.size() > 2) return std::nullopt;
  auto percent = number_of(parts[0]);
  if (!percent || *percent <= 0 || *percent > 100) return std::nullopt;
  TrafficNode n;
  n.kind = TrafficNode::Kind::load;
  n.share = *percent / 100.0;
  if (parts.size() == 2) {
    if (parts[1] == "8") n.frames = TrafficNode::Frames::max8;
    else if (parts[1] == "0") n.frames = TrafficNode::Frames::empty;
    else if (parts[1] == "mixed") n.frames = TrafficNode::Frames::mixed;
    else return std::nullopt;
  }
  return n;
}

// VOREL_SIM_ADAPTERS=N attaches N adapters joined on one bus; VOREL_SIM_SERIALS=a,b,... names
// them instead; VOREL_SIM_BITRATE sets their initial bit rate, VOREL_SIM_RX_QUEUE their
// firmware receive queues (frames) and VOREL_SIM_DRIFT_PPM their oscillators' errors (one value,
// or one per adapter), VOREL_SIM_CLOCK_BITS their timestamp counters' width, VOREL_SIM_USB_LATENCY
// (FIXED_US[:JITTER_US]) their USB round trip and VOREL_SIM_USB_FRAME_US the USB frame their
// completions are aligned to; VOREL_SIM_TRAFFIC and VOREL_SIM_LOAD add other
// nodes on that bus; VOREL_SIM_CAPTURE names a file that receives every frame on the bus
// (VOREL_SIM_CAPTURE_APPEND=1 appends), VOREL_SIM_LOG one that receives every transfer. This
// lets any program (a demo, a user's script, python-can's tools) run against simulated adapters.
void World::configure_from_environment() {
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v ? v : "";
  };
  if (auto rate = env("VOREL_SIM_BITRATE"); !rate.empty()) {
    auto v = number_of(rate);
    if (v && *v >= 1000 && *v <= 1000000 && *v == static_cast<uint32_t>(*v)) default_bitrate = static_cast<uint32_t>(*v);
    else refuse("bit rate", rate);
  }
  // One receive queue size for every adapter, or one per adapter (the last repeats).
  std::vector<size_t> queues;
  for (const auto& q : split(env("VOREL_SIM_RX_QUEUE"), ',')) {
    if (q.empty()) continue;
    auto v = number_of(q);
    if (v && *v >= 1 && *v <= 1e6 && *v == static_cast<size_t>(*v)) queues.push_back(static_cast<size_t>(*v));
    else refuse("receive queue size", q);
  }
  if (!queues.empty()) default_rx_capacity = queues.front();
  if (auto path = env("VOREL_SIM_CAPTURE"); !path.empty())
    if (!set_capture(path.c_str(), env("VOREL_SIM_CAPTURE_APPEND") == "1")) refuse("capture file", path);
  if (auto path = env("VOREL_SIM_LOG"); !path.empty()) {
    log_file = std::fopen(path.c_str(), "w");
    if (log_file) log_enabled = true;
    else refuse("log file", path);
  }
  std::vector<std::string> serials;
  if (auto list = env("VOREL_SIM_SERIALS"); !list.empty()) {
    serials = split(list, ',');
  } else if (auto n = env("VOREL_SIM_ADAPTERS"); !n.empty()) {
    auto count = number_of(n);
    if (!count || *count < 0 || *count > 999) refuse("adapter count", n);
    for (int i = 1; count && i <= static_cast<int>(*count) && i <= 999; ++i) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "VOR.EL:CANH%04d", i);
      serials.emplace_back(buf);
    }
  }
  for (auto& s : serials) add_adapter(s);
  for (size_t i = 1; i < adapters.size(); ++i) join(0, static_cast<int>(i));

  auto drifts = split(env("VOREL_SIM_DRIFT_PPM"), ',');
  auto bits = env("VOREL_SIM_CLOCK_BITS");
  auto latency = split(env("VOREL_SIM_USB_LATENCY"), ':');
  auto usb_frame = env("VOREL_SIM_USB_FRAME_US");
  std::lock_guard lk(mu);
  for (auto& a : adapters) {
    size_t i = static_cast<size_t>(a->index);
    if (!queues.empty()) a->set_rx_capacity(queues[std::min(i, queues.size() - 1)]);
    if (drifts.size() == 1 && drifts[0].empty()) {
    } else if (auto ppm = number_of(drifts[drifts.size() == 1 ? 0 : std::min(i, drifts.size() - 1)]);
               ppm && std::fabs(*ppm) <= 100000) {
      a->drift_ppm = *ppm;
    } else if (i == 0) {
      refuse("drift", env("VOREL_SIM_DRIFT_PPM"));
    }
    if (bits == "32" || bits == "64") a->clock_bits = std::atoi(bits.c_str());
    else if (!bits.empty() && i == 0) refuse("clock width", bits);
    if (!latency[0].empty()) {
      auto fixed = number_of(latency[0]);
      auto jitter = latency.size() == 2 ? number_of(latency[1]) : std::optional<double>(0);
      if (fixed && jitter && *fixed >= 0 && *jitter >= 0 && *fixed + *jitter <= 1e6 && latency.size() <= 2) {
        a->usb_latency = std::chrono::microseconds(static_cast<int64_t>(*fixed));
        a->usb_jitter = std::chrono::microseconds(static_cast<int64_t>(*jitter));
      } else if (i == 0) {
        refuse("USB latency", env("VOREL_SIM_USB_LATENCY"));
      }
    }
    if (!usb_frame.empty()) {
      auto us = number_of(usb_frame);
      if (us && *us >= 0 && *us <= 1e6 && *us == static_cast<int64_t>(*us)) a->usb_frame = std::chrono::microseconds(static_cast<int64_t>(*us));
      else if (i == 0) refuse("USB frame", usb_frame);
    }
  }
  if (adapters.empty()) return;
  for (const auto& spec : split(env("VOREL_SIM_TRAFFIC"), ',')) {
    if (spec.empty()) continue;
    if (auto node = parse_traffic(spec)) {
      node->ready = Clock::now() + node->period;
      node->bitrate = default_bitrate;
      buses[adapters[0]->bus].nodes.push_back(*node);
    } else {
      refuse("traffic", spec);
    }
  }
  if (auto load = env("VOREL_SIM_LOAD"); !load.empty()) {
    if (auto node = parse_load(load)) {
      node->ready = Clock::now();
      node->bitrate = default_bitrate;
      buses[adapters[0]->bus].nodes.push_back(*node);
    } else {
      refuse("load", load);
    }
  }
  if (!buses[adapters[0]->bus].nodes.empty()) start_bus_driver_locked();
  if (auto n = env("VOREL_SIM_ACK_NODES"); !n.empty()) {
    auto count = number_of(n);
    if (count && *count >= 0 && *count <= 100 && *count == static_cast<int>(*count))
      buses[adapters[0]->bus].ack_nodes.resize(static_cast<size_t>(*count), default_bitrate);
    else
      refuse("acknowledging nodes", n);
  }
  schedule_faults(env("VOREL_SIM_UNPLUG"), true);
  schedule_faults(env("VOREL_SIM_BUS_OFF"), false);
  if (env("VOREL_SIM_SUMMARY") == "1") {
    std::atexit([] {
      World& w = World::get();
      std::lock_guard lk(w.mu);
      w.advance_locked(Clock::now());
      w.print_summary_locked(stderr);
    });
  }
}

// WHO@SECONDS[,WHO@SECONDS...]: at SECONDS after VOREL_SIM_START_NS (vorel-sim's start, on the
// system clock) or else after now, adapter WHO (a serial, or a number from 1) is unplugged or
// forced bus-off (its transmit error counter past 255, as a shorted bus leaves it).
void World::schedule_faults(const std::string& spec, bool unplug) {
  auto start = std::chrono::system_clock::now();
  if (const char* t = std::getenv("VOREL_SIM_START_NS"); t && *t) {
    if (auto ns = number_of(t)) start = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(static_cast<int64_t>(*ns))));
  }
  for (const auto& item : split(spec, ',')) {
    if (item.empty()) continue;
    auto at = item.rfind('@');
    auto seconds = at == std::string::npos ? std::nullopt : number_of(item.substr(at + 1));
    Adapter* target = nullptr;
    if (seconds && *seconds >= 0 && *seconds <= 1e6) {
      std::string who = item.substr(0, at);
      for (auto& a : adapters)
        if (a->serial == who || std::to_string(a->index + 1) == who) target = a.get();
    }
    if (!target) {
      refuse(unplug ? "unplug" : "bus-off", item);
      continue;
    }
    auto when = start + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(*seconds));
    std::thread([this, target, when, unplug, generation = generation.load()] {
      std::this_thread::sleep_until(when);
      {
        std::lock_guard lk(mu);
        if (generation != this->generation) return;  // reset since: the adapter is gone
        advance_locked(Clock::now());
        if (unplug) target->plugged = false;
        else target->tx_error_count = BUS_OFF;
        cv.notify_all();
      }
      if (unplug) notify_adapters_changed();
    }).detach();
  }
}

void World::print_summary_locked(std::FILE* to) const {
  for (const auto& a : adapters) {
    std::string line = "vorel-sim: " + (a->serial_mode == SerialMode::none ? "adapter " + std::to_string(a->index + 1) : a->serial) +
                       ": " + std::to_string(a->frames_sent) + " frames sent, " + std::to_string(a->frames_received) +
                       " received, " + std::to_string(a->rx_overflows) + " dropped by a full receive queue";
    if (a->tx_failures > 0)
      line += ", " + std::to_string(a->tx_failures) + " sending attempts failed (no acknowledgement or an error flag)";
    // The state the counters give, whether or not the controller was still on at the end.
    static const char* const STATES[] = {"error-active", "error-warning", "error-passive", "bus-off"};
    if (a->tx_error_count > 0 || a->rx_error_count > 0)
      line += "; error counters TX " + std::to_string(a->tx_error_count) + " RX " + std::to_string(a->rx_error_count) +
              " (" + STATES[error_state(a->tx_error_count, a->rx_error_count)] + ")";
    if (!a->plugged) line += "; unplugged";
    std::fprintf(to, "%s\n", line.c_str());
  }
  std::fflush(to);
}

int World::add_node(int adapter, TrafficNode node) {
  std::lock_guard lk(mu);
  Adapter* a = adapter_locked(adapter);
  if (!a) return -1;
  node.ready = Clock::now() + (node.kind == TrafficNode::Kind::periodic ? node.period : Clock::duration{});
  node.bitrate = bitrate_of(*a);
  buses[a->bus].nodes.push_back(node);
  start_bus_driver_locked();
  cv.notify_all();
  return 0;
}

// Keeps the buses moving while no transfer does: frames of traffic nodes reach the adapters'
// queues (and the capture) within a millisecond of their time (their timestamps are exact
// whenever they are delivered), not at the next transfer.
void World::start_bus_driver_locked() {
  if (bus_driver_started) return;
  bus_driver_started = true;
  std::thread([this] {
    std::unique_lock lk(mu);
    for (;;) {
      auto now = Clock::now();
      advance_locked(now);
      auto until = now + std::chrono::milliseconds(10);
      for (auto& bus : buses) {
        if (bus.in_flight) until = std::min(until, bus.in_flight->end);
        for (auto& n : bus.nodes) until = std::min(until, std::max(n.ready, bus.free_at));
      }
      // Not on cv: every delivery notifies it, and the driver need not run once per frame.
      lk.unlock();
      std::this_thread::sleep_until(std::max(until, now + std::chrono::milliseconds(1)));
      lk.lock();
    }
  }).detach();
}

int World::add_ack_node(int adapter) {
  std::lock_guard lk(mu);
  Adapter* a = adapter_locked(adapter);
  if (!a) return -1;
  buses[a->bus].ack_nodes.push_back(bitrate_of(*a));
  return 0;
}

bool World::set_capture(const char* path, bool append) {
  std::lock_guard lk(mu);
  advance_locked(Clock::now());  // what has finished belongs to the capture being closed
  if (capture) std::fclose(capture);
  capture = nullptr;
  if (!path) return true;
  capture = std::fopen(path, append ? "a" : "w");
  if (!capture) return false;
  // python-can's ASC layout: a header, then one line per frame, seconds since the start.
  std::time_t wall = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%a %b %d %I:%M:%S.000 %p %Y", std::localtime(&wall));
  std::fprintf(capture, "date %s\nbase hex  timestamps absolute\ninternal events logged\n"
               "Begin Triggerblock %s\n   0.000000 Start of measurement\n", date, date);
  std::fflush(capture);
  capture_start = Clock::now();
  start_bus_driver_locked();  // frames reach the file when they end, not at the next transfer
  return true;
}

void World::reset() {
  {
    std::lock_guard lk(mu);
    for (auto& a : adapters) {
      a->plugged = false;
      retired.push_back(std::move(a));
    }
    adapters.clear();
    buses.clear();
    log.clear();
    log_enabled = log_file != nullptr;
    init_error_count = list_error_count = 0;
    ++generation;
    cv.notify_all();
  }
  notify_adapters_changed();
}

int World::add_adapter(const std::optional<std::string>& serial) {
  int index = add_adapter_quietly(serial);
  notify_adapters_changed();
  return index;
}

int World::add_adapter_quietly(const std::optional<std::string>& serial) {
  std::lock_guard lk(mu);
  auto a = std::make_unique<Adapter>();
  a->index = static_cast<int>(adapters.size());
  a->created = Clock::now();
  a->address = static_cast<uint8_t>(2 + a->index % 250);
  if (serial) {
    a->serial = *serial;
  } else {
    a->serial_mode = SerialMode::none;
  }
  // hardware 1.0.0.0, firmware 2.1.0.0, one channel
  a->device_info = {1, 0, 0, 0, 2, 1, 0, 0};
  a->device_info[16] = 1;
  put_u32(a->capabilities, 0, 48000000);
  put_u32(a->capabilities, 4, static_cast<uint32_t>(a->tx_fifo_capacity));
  a->set_rx_capacity(default_rx_capacity);
  put_u32(a->capabilities, 12, 0x1F);  // loopback, listen-only, triple sampling, one-shot, berr
  put_u32(a->capabilities, 16, 0);
  put_u32(a->bt_const, 4, 48000000);
  const uint32_t limits[8] = {1, 16, 1, 8, 4, 1, 1024, 1};
  for (int i = 0; i < 8; ++i) put_u32(a->bt_const, 16 + 4 * i, limits[i]);
  const uint32_t timing[8] = {default_bitrate, 875, 125, 0, 13, 2, 2, 6};
  for (int i = 0; i < 8; ++i) put_u32(a->bittiming, 4 * i, timing[i]);
  a->bus = static_cast<int>(buses.size());
  buses.push_back(Bus{{a->index}, {}, {}, std::nullopt, {}, 0});
  adapters.push_back(std::move(a));
  return static_cast<int>(adapters.size()) - 1;
}

void World::join(int a, int b) {
  std::lock_guard lk(mu);
  if (a < 0 || b < 0 || a >= static_cast<int>(adapters.size()) ||
      b >= static_cast<int>(adapters.size()))
    return;
  int from = adapters[b]->bus, to = adapters[a]->bus;
  if (from == to) return;
  for (int m : buses[from].members) {
    adapters[m]->bus = to;
    buses[to].members.push_back(m);
  }
  buses[from].members.clear();
  for (auto& n : buses[from].nodes) buses[to].nodes.push_back(n);
  buses[from].nodes.clear();
  for (uint32_t r : buses[from].ack_nodes) buses[to].ack_nodes.push_back(r);
  buses[from].ack_nodes.clear();
}

Adapter* World::adapter_locked(int index) {
  if (index < 0 || index >= static_cast<int>(adapters.size())) return nullptr;
  return adapters[index].get();
}

// libusb on Linux finds devices in the order of their sysfs names and puts each one it finds at
// the head of its list, so it lists them in that order reversed ("1-9" ... "1-2", "1-12" ...
// "1-10", "1-1").
std::vector<int> World::attached_locked() const {
  std::vector<std::pair<std::string, int>> found;
  for (auto& a : adapters)
    if (a->plugged) found.emplace_back(sysfs_name(*a), a->index);
  std::sort(found.begin(), found.end(), std::greater<>());
  std::vector<int> out;
  for (auto& [_, index] : found) out.push_back(index);
  return out;
}

std::string sysfs_name(const Adapter& a) {
  return std::to_string(a.bus_number) + "-" + std::to_string(a.address - 1);
}

void World::log_locked(LogEntry e) {
  if (!log_enabled) return;
  e.seq = ++log_seq;
  if (log_file) {
    std::fprintf(log_file, "%llu %llu.%09llu thread=%d adapter=%d %s", static_cast<unsigned long long>(e.seq),
                 static_cast<unsigned long long>(e.t_ns / 1000000000), static_cast<unsigned long long>(e.t_ns % 1000000000),
                 e.thread, e.adapter, e.kind == 0 ? "control" : "bulk");
    if (e.kind == 0)
      std::fprintf(log_file, " type=%02x request=%u value=%u index=%u length=%u", e.request_type, e.request,
                   e.value, e.index, e.length);
    else
      std::fprintf(log_file, " endpoint=%02x length=%u", e.endpoint, e.length);
    std::fprintf(log_file, " timeout=%u result=%d transferred=%d data=", e.timeout_ms, e.result, e.transferred);
    for (size_t i = 0; i < e.data_len; ++i) std::fprintf(log_file, "%02x", e.data[i]);
    std::fputc('\n', log_file);
    std::fflush(log_file);
  }
  log.push_back(e);
  if (log.size() > LOG_CAPACITY) log.pop_front();
}

Clock::duration World::usb_delay_locked(int index) {
  Adapter* a = adapter_locked(index);
  if (!a || (a->usb_latency.count() == 0 && a->usb_jitter.count() == 0)) return {};
  auto jitter = a->usb_jitter.count() > 0
                    ? std::chrono::microseconds(static_cast<int64_t>(splitmix64(a->jitter_seed) %
                                                                     static_cast<uint64_t>(a->usb_jitter.count() + 1)))
                    : std::chrono::microseconds(0);
  return a->usb_latency + jitter;
}

Clock::time_point World::usb_done_at_locked(int index, Clock::time_point done) {
  Clock::time_point at = done + usb_delay_locked(index);
  Adapter* a = adapter_locked(index);
  if (!a || a->usb_frame.count() <= 0) return at;
  auto frame = std::chrono::duration_cast<Clock::duration>(a->usb_frame);
  auto since = at.time_since_epoch();
  auto rounded = (since + frame - Clock::duration(1)) / frame * frame;
  return Clock::time_point(rounded);
}

std::optional<std::vector<uint8_t>> World::scripted_answer_locked(Adapter& a, uint8_t request) {
  auto it = a.scripted.find(request);
  if (it == a.scripted.end() || it->second.empty()) return std::nullopt;
  auto& front = it->second.front();
  std::vector<uint8_t> bytes = front.bytes;
  if (front.remaining > 0 && --front.remaining == 0) it->second.pop_front();
  return bytes;
}

int World::vendor_in_locked(Adapter& a, uint8_t request, std::span<uint8_t> data) {
  if (a.hostile_seed != 0) {
    // Hostile firmware: any length up to the one asked for, any bytes.
    size_t n = data.empty() ? 0 : splitmix64(a.hostile_seed) % (data.size() + 1);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(splitmix64(a.hostile_seed));
    return static_cast<int>(n);
  }
  if (auto s = scripted_answer_locked(a, request)) return copy_answer(data, *s);
  switch (request) {
    case vorel::req::DEVICE_INFO:
      return copy_answer(data, a.device_info);
    case vorel::req::CAPABILITIES:
      return copy_answer(data, a.capabilities);
    case vorel::req::BT_CONST:
      return copy_answer(data, a.bt_const);
    case vorel::req::BITTIMING:
      return copy_answer(data, a.bittiming);
    case vorel::req::BUS_STATE: {
      advance_locked(Clock::now());  // the counters as the frames on the wire until now left them
      std::array<uint8_t, 20> st{};
      put_u32(st, 0, bus_state_of(a));
      put_u32(st, 4, a.rx_error_count);
      put_u32(st, 8, a.tx_error_count);
      return copy_answer(data, st);
    }
    case vorel::req::LED_MODE: {
      std::array<uint8_t, 4> w{};
      put_u32(w, 0, a.led_mode);
      return copy_answer(data, w);
    }
    case vorel::req::DEVICE_NAME:
      return copy_answer(data, a.name);
    default:
      return status::pipe;
  }
}

int World::vendor_out_locked(Adapter& a, uint8_t request, std::span<const uint8_t> data) {
  auto need = [&](size_t n) { return data.size() >= n; };
  switch (request) {
    case vorel::req::BITTIMING:
      if (!need(32)) return status::pipe;
      std::copy_n(data.begin(), 32, a.bittiming.begin());
      return 32;
    case vorel::req::BUS_STATE: {
      if (!need(4)) return status::pipe;
      uint32_t on = get_u32(data, 0);
      if (on > 1) return status::pipe;
      // Starting a stopped controller resets it, error counters included: that ends a bus-off.
      if (on == 1 && !a.bus_on) a.rx_error_count = a.tx_error_count = 0;
      a.bus_on = on == 1;
      if (!a.bus_on) {
        // A frame already on the wire completes; the ones still queued are dropped.
        Bus& bus = buses[a.bus];
        advance_locked(Clock::now());
        if (bus.in_flight && bus.in_flight->sender == a.index) {
          InFlight f = *bus.in_flight;
          bus.in_flight.reset();
          bus.free_at = f.end;
          finish_locked(bus, f);
        }
        clear_tx(a);
      }
      cv.notify_all();
      return 4;
    }
    case vorel::req::MODE:
      if (!need(4)) return status::pipe;
      a.mode = get_u32(data, 0);
      return 4;
    case vorel::req::LED_MODE:
      if (!need(4)) return status::pipe;
      a.led_mode = get_u32(data, 0);
      return 4;
    case vorel::req::DEVICE_NAME: {
      a.name.fill(0);
      size_t n = std::min<size_t>(data.size(), a.name.size());
      std::copy_n(data.begin(), n, a.name.begin());
      return static_cast<int>(data.size());
    }
    case vorel::req::FLUSH_TX:
      clear_tx(a);
      cv.notify_all();
      return 0;
    default:
      return status::pipe;
  }
}

int World::standard_locked(Adapter& a, uint8_t type, uint8_t request, uint16_t value,
                           uint16_t index, std::span<uint8_t> data) {
  bool in = (type & TYPE_DIR_IN) != 0;
  if (in && request == GET_DESCRIPTOR) {
    uint8_t dtype = static_cast<uint8_t>(value >> 8), didx = static_cast<uint8_t>(value);
    if (dtype == 1) return copy_answer(data, device_descriptor_bytes(a));
    if (dtype == 2 && didx == 0) return copy_answer(data, config_descriptor_bytes());
    if (dtype == 3) {
      if (didx == 0) {
        const std::array<uint8_t, 4> langs = {4, 3, 0x09, 0x04};
        return copy_answer(data, langs);
      }
      if (index != 0x0409) return status::pipe;
      if (didx == 1) return copy_answer(data, string_descriptor(MANUFACTURER));
      if (didx == 2) return copy_answer(data, string_descriptor(PRODUCT));
      if (didx == 3 && a.serial_mode != SerialMode::unreadable && a.serial_mode != SerialMode::none)
        return copy_answer(data, string_descriptor(a.serial));
    }
    return status::pipe;
  }
  if (in && request == GET_STATUS) {
    const std::array<uint8_t, 2> st{};
    return copy_answer(data, st);
  }
  if (in && request == GET_CONFIGURATION) {
    const std::array<uint8_t, 1> cfg = {1};
    return copy_answer(data, cfg);
  }
  if (!in && request == SET_CONFIGURATION) return value == 1 || value == 0 ? 0 : status::pipe;
  if (!in && request == SET_INTERFACE) return value == 0 && index == 0 ? 0 : status::pipe;
  if (!in && request == CLEAR_FEATURE && (type & 0x1F) == 2 && value == 0) {
    if (index == ENDPOINT_OUT) a.stall_out = false;
    if (index == ENDPOINT_IN) a.stall_in = false;
    return 0;
  }
  return status::pipe;
}

int World::control_locked(int index, uint8_t type, uint8_t request, uint16_t value, uint16_t windex,
                          std::span<uint8_t> data, bool& wait_timeout) {
  wait_timeout = false;
  Adapter* a = adapter_locked(index);
  if (!a || !a->plugged) return status::no_device;
  bool in = (type & TYPE_DIR_IN) != 0;
  for (auto it = a->control_faults.begin(); it != a->control_faults.end(); ++it) {
    if (it->request >= 0 && it->request != request) continue;
    if (it->direction >= 0 && it->direction != (in ? 1 : 0)) continue;
    int err = it->error;
    if (it->remaining > 0 && --it->remaining == 0) a->control_faults.erase(it);
    wait_timeout = err == status::timeout;
    return err;
  }
  switch (type & TYPE_MASK) {
    case TYPE_STANDARD:
      return standard_locked(*a, type, request, value, windex, data);
    case TYPE_VENDOR:
      if (windex != 0) return status::pipe;  // one CAN channel
      return in ? vendor_in_locked(*a, request, data) : vendor_out_locked(*a, request, data);
    default:
      return status::pipe;
  }
}

std::optional<BulkFault> World::take_bulk_fault_locked(int index, uint8_t endpoint) {
  Adapter* a = adapter_locked(index);
  if (!a) return std::nullopt;
  for (auto it = a->bulk_faults.begin(); it != a->bulk_faults.end(); ++it) {
    if (it->endpoint != endpoint) continue;
    BulkFault f = *it;
    if (it->remaining > 0 && --it->remaining == 0) {
      a->bulk_faults.erase(it);
      a->bulk_faults_pending = static_cast<int>(a->bulk_faults.size());
    }
    return f;
  }
  return std::nullopt;
}

int World::bulk_out_locked(int index, std::span<const uint8_t> data, int& accepted) {
  Adapter* a = adapter_locked(index);
  if (!a || !a->plugged) return status::no_device;
  if (a->stall_out) return status::pipe;
  auto now = Clock::now();
  advance_locked(now);
  size_t total = data.size();
  size_t pos = static_cast<size_t>(accepted);
  while (pos + vorel::tx::SIZE <= total) {
    std::array<uint8_t, vorel::tx::SIZE> rec;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(pos), vorel::tx::SIZE, rec.begin());
    if (a->sink) {
      ++a->frames_dropped;
    } else if ((a->mode & vorel::CTRLMODE_LISTEN_ONLY) != 0) {
      // A listen-only controller never drives the bus; with loopback it still sees its own frame.
      if (a->mode & vorel::CTRLMODE_LOOPBACK) {
        Bus solo{{a->index}, {}, {}, InFlight{a->index, rec, now, now}, now, 0};
        deliver_locked(solo, *solo.in_flight, bitrate_of(*a));
      } else {
        ++a->frames_dropped;
      }
    } else if (a->tx_fifo.size() < a->tx_fifo_capacity) {
      a->tx_fifo.push_back(rec);
      a->tx_enqueued.push_back(now);
    } else {
      break;
    }
    pos += vorel::tx::SIZE;
  }
  if (pos + vorel::tx::SIZE > total) pos = total;  // a trailing partial record is taken and ignored
  accepted = static_cast<int>(pos);
  start_next_locked(buses[a->bus], now);
  if (pos < total) return status::would_block;
  return status::ok;
}

int World::bulk_in_locked(int index, std::span<uint8_t> buf, int& filled) {
  advance_locked(Clock::now());
  return take_rx_locked(index, buf, filled);
}

int World::take_rx_locked(int index, std::span<uint8_t> buf, int& filled) {
  filled = 0;
  Adapter* a = adapter_locked(index);
  if (!a || !a->plugged) return status::no_device;
  if (a->stall_in) return status::pipe;
  if (a->rx_queue.empty()) return status::would_block;
  if (buf.size() < vorel::rx::SIZE) return status::overflow;
  size_t n = std::min({RECORDS_PER_READ, a->rx_queue.size(), buf.size() / vorel::rx::SIZE});
  for (size_t i = 0; i < n; ++i) {
    std::copy(a->rx_queue.front().begin(), a->rx_queue.front().end(),
              buf.begin() + static_cast<std::ptrdiff_t>(i * vorel::rx::SIZE));
    a->rx_queue.pop_front();
  }
  filled = static_cast<int>(n * vorel::rx::SIZE);
  cv.notify_all();
  return status::ok;
}

void World::capture_locked(const InFlight& f) {
  if (!capture) return;
  double t = std::chrono::duration<double>(f.end - capture_start).count();
  uint32_t word = get_u32(f.record, 4);
  bool ext = (word & vorel::ID_EXT) != 0 || (f.record[2] & vorel::FLAG_EXT) != 0;
  bool rtr = (f.record[2] & vorel::FLAG_RTR) != 0;
  uint8_t dlc = std::min<uint8_t>(f.record[1], 8);
  char id[16];
  if (ext) std::snprintf(id, sizeof id, "%Xx", word & 0x1FFFFFFF);
  else std::snprintf(id, sizeof id, "%X", word & 0x7FF);
  std::fprintf(capture, "%11.6f 1  %-15s Rx   %s %X", t < 0 ? 0.0 : t, id, rtr ? "r" : "d", dlc);
  if (!rtr)
    for (size_t i = 0; i < dlc; ++i) std::fprintf(capture, " %02X", f.record[8 + i]);
  std::fputc('\n', capture);
  std::fflush(capture);
}

// A frame's end on the wire: received by every controller that samples it at its bit rate, or,
// when nobody acknowledged it or an error flag destroyed it, an error: counted, reported, and sent
// again unless the sender is in one-shot mode.
void World::finish_locked(Bus& bus, const InFlight& f) {
  Adapter* sender = f.sender >= 0 ? adapters[f.sender].get() : nullptr;
  uint32_t rate = sender ? bitrate_of(*sender) : bus.nodes[static_cast<size_t>(-1 - f.sender)].bitrate;
  // A node's peers acknowledge its frames; a controller in loopback mode acknowledges its own.
  bool acked = sender == nullptr || (sender->mode & vorel::CTRLMODE_LOOPBACK) != 0;
  for (const auto& n : bus.nodes) acked = acked || same_rate(n.bitrate, rate);
  for (uint32_t r : bus.ack_nodes) acked = acked || same_rate(r, rate);
  bool destroyed = false;
  for (int m : bus.members) {
    const Adapter& r = *adapters[m];
    if (m == f.sender || !on_bus(r) || listening_only(r)) continue;
    if (same_rate(bitrate_of(r), rate)) acked = true;
    else if (error_active(r)) destroyed = true;  // its stuff and form errors, flagged
  }
  if (acked && !destroyed) {
    if (sender) pop_tx_head(*sender);
    if (sender && sender->tx_error_count > 0) --sender->tx_error_count;
    for (int m : bus.members) {
      Adapter& r = *adapters[m];
      if (m == f.sender || !on_bus(r)) continue;
      if (!same_rate(bitrate_of(r), rate)) {
        // An error-passive controller at another rate sees errors its passive flag cannot show.
        uint32_t before = bus_state_of(r);
        if (!listening_only(r)) add_rx_errors(r, 1);
        report_bus_error_locked(r, before, vorel::CAN_ERR_PROT, vorel::CAN_ERR_PROT_STUFF, vorel::CAN_ERR_PROT_LOC_UNSPEC, f.end);
      } else if (!listening_only(r) && r.rx_error_count > 0) {
        // Above 127 a success sets the counter back into the error-active range.
        r.rx_error_count = std::min(r.rx_error_count - 1, ERROR_PASSIVE - 1);
      }
    }
    deliver_locked(bus, f, rate);
    return;
  }
  for (int m : bus.members) {
    Adapter& r = *adapters[m];
    if (m == f.sender || !on_bus(r)) continue;
    bool mismatched = !same_rate(bitrate_of(r), rate);
    if (!mismatched && !destroyed) continue;  // a missing ACK is the transmitter's error alone
    uint32_t before = bus_state_of(r);
    // Listen-only controllers count nothing; the first to flag an error counts 9.
    if (!listening_only(r)) add_rx_errors(r, mismatched && error_active(r) ? 9 : 1);
    report_bus_error_locked(r, before, vorel::CAN_ERR_PROT, mismatched ? vorel::CAN_ERR_PROT_STUFF : vorel::CAN_ERR_PROT_FORM, vorel::CAN_ERR_PROT_LOC_UNSPEC, f.end);
  }
  bus.free_at = f.end + bit_times(ERROR_FRAME_BITS, rate);
  if (!sender) return;  // a node's destroyed frame is lost; its next one follows
  uint32_t before = bus_state_of(*sender);
  bool ack_error = !destroyed;
  // An error-passive transmitter that misses the ACK counts nothing more: a lone controller
  // stays error-passive and never goes bus-off for want of a peer.
  if (!(ack_error && !error_active(*sender))) sender->tx_error_count += 8;
  ++sender->tx_failures;
  report_bus_error_locked(*sender, before, ack_error ? vorel::CAN_ERR_ACK : vorel::CAN_ERR_PROT, ack_error ? 0 : vorel::CAN_ERR_PROT_FORM | vorel::CAN_ERR_PROT_TX,
                          ack_error ? vorel::CAN_ERR_PROT_LOC_ACK : vorel::CAN_ERR_PROT_LOC_UNSPEC, f.end);
  // It stays first in the FIFO and contends again, unless one-shot mode or a bus-off gives it up.
  if ((sender->mode & vorel::CTRLMODE_ONE_SHOT) != 0 || bus_off(*sender)) pop_tx_head(*sender);
  else sender->tx_head_on_wire = false;
  cv.notify_all();
}

void World::report_bus_error_locked(Adapter& a, uint32_t state_before, uint32_t error_class, uint8_t prot_type,
                                    uint8_t prot_location, Clock::time_point t) {
  if ((a.mode & vorel::CTRLMODE_BERR_REPORTING) == 0) return;
  std::array<uint8_t, vorel::rx::SIZE> rec{};
  uint32_t word = vorel::ID_ERR | vorel::CAN_ERR_BUSERROR | vorel::CAN_ERR_CNT | error_class | (prot_type || prot_location ? vorel::CAN_ERR_PROT : 0);
  uint8_t crtl = 0;
  uint32_t state = bus_state_of(a);
  if (state != state_before && state >= 1 && state <= 2) {
    word |= vorel::CAN_ERR_CRTL;
    bool tx = a.tx_error_count >= (state == 2 ? ERROR_PASSIVE : 96u);
    crtl = state == 2 ? (tx ? vorel::CAN_ERR_CRTL_TX_PASSIVE : vorel::CAN_ERR_CRTL_RX_PASSIVE) : (tx ? vorel::CAN_ERR_CRTL_TX_WARNING : vorel::CAN_ERR_CRTL_RX_WARNING);
  }
  rec[vorel::rx::DLC] = 8;
  rec[vorel::rx::FLAGS] = vorel::FLAG_ERR;
  put_u32(rec, vorel::rx::ID, word);
  namespace d = vorel::err_data;
  rec[vorel::rx::DATA + d::CRTL] = crtl;
  rec[vorel::rx::DATA + d::PROT_TYPE] = prot_type;
  rec[vorel::rx::DATA + d::PROT_LOCATION] = prot_location;
  rec[vorel::rx::DATA + d::TX_COUNT] = static_cast<uint8_t>(std::min<uint32_t>(a.tx_error_count, 255));
  rec[vorel::rx::DATA + d::RX_COUNT] = static_cast<uint8_t>(std::min<uint32_t>(a.rx_error_count, 255));
  uint64_t ts = a.now_us(t);
  for (int i = 0; i < 8; ++i) rec[16 + i] = static_cast<uint8_t>(ts >> (8 * i));
  if (a.rx_queue.size() >= a.rx_capacity) {
    ++a.rx_overflows;
    return;
  }
  a.rx_queue.push_back(rec);
  if (rx_queued) rx_queued(a.index, t);
}

void World::deliver_locked(Bus& bus, const InFlight& f, uint32_t bitrate) {
  if (f.sender >= 0) ++adapters[f.sender]->frames_sent;  // a traffic node is not an adapter
  capture_locked(f);
  for (int m : bus.members) {
    Adapter& r = *adapters[m];
    if (!r.plugged) continue;
    if (m == f.sender ? (r.mode & vorel::CTRLMODE_LOOPBACK) == 0 : !on_bus(r) || !same_rate(bitrate_of(r), bitrate)) continue;
    std::array<uint8_t, vorel::rx::SIZE> rec{};
    std::copy_n(f.record.begin() + 1, 15, rec.begin() + 1);  // dlc, flags, reserved, id, data
    rec[0] = 0;
    rec[3] = 0;
    uint64_t ts = r.now_us(f.end);
    for (int i = 0; i < 8; ++i) rec[16 + i] = static_cast<uint8_t>(ts >> (8 * i));
    if (r.rx_queue.size() >= r.rx_capacity) {
      ++r.rx_overflows;
      continue;
    }
    r.rx_queue.push_back(rec);
    ++r.frames_received;
    ++r.received_by_id[get_u32(f.record, 4)];
    if (rx_queued) rx_queued(m, f.end);
  }
  cv.notify_all();
}

void World::start_next_locked(Bus& bus, Clock::time_point now) {
  if (bus.in_flight) return;
  // Candidates: adapters' TX FIFO heads and traffic nodes; -1 - k names node k.
  int best = 0;
  bool found = false;
  Clock::time_point best_start{};
  uint32_t best_prio = 0;
  auto consider = [&](int who, Clock::time_point ready, uint32_t word) {
    Clock::time_point start = std::max(bus.free_at, ready);
    if (start > now) return;
    // Arbitration: the earlier start wins; at the same instant the lower identifier does.
    uint32_t prio = word & 0x1FFFFFFF;
    if (!found || start < best_start || (start == best_start && prio < best_prio)) {
      best = who;
      best_start = start;
      best_prio = prio;
      found = true;
    }
  };
  for (int m : bus.members) {
    Adapter& a = *adapters[m];
    if (!on_bus(a) || a.tx_fifo.empty()) continue;
    consider(m, a.tx_enqueued.front(), id_word(a.tx_fifo.front()));
  }
  for (size_t k = 0; k < bus.nodes.size(); ++k)
    consider(-1 - static_cast<int>(k), bus.nodes[k].ready, id_word(bus.nodes[k].next_record()));
  if (!found) return;
  if (best >= 0) {
    Adapter& a = *adapters[best];
    bus.in_flight = InFlight{best, a.tx_fifo.front(), best_start + wire_time(a.tx_fifo.front(), bitrate_of(a)), best_start};
    a.tx_head_on_wire = true;
    cv.notify_all();  // the bus's next event is this frame's end
    return;
  }
  TrafficNode& n = bus.nodes[static_cast<size_t>(-1 - best)];
  auto record = n.next_record();
  auto wire = wire_time(record, n.bitrate);
  bus.in_flight = InFlight{best, record, best_start + wire, best_start};
  if (n.kind == TrafficNode::Kind::periodic) {
    n.ready += n.period;
    if (n.ready <= best_start)  // a node that lost arbitration for long skips the periods it missed
      n.ready += n.period * ((best_start - n.ready) / n.period + 1);
  } else {
    // Frames spaced so that their wire time is the share asked for; a node that fell behind (the
    // adapters took the bus) keeps no more than a few frames of backlog.
    n.ready += std::chrono::duration_cast<Clock::duration>(wire / n.share);
    n.ready = std::max(n.ready, best_start - 4 * wire);
    ++n.seq;
  }
}

void World::advance_locked(Clock::time_point now) {
  for (auto& bus : buses) {
    start_next_locked(bus, now);
    while (bus.in_flight && bus.in_flight->end <= now) {
      InFlight f = *bus.in_flight;
      bus.in_flight.reset();
      bus.free_at = f.end;
      bus.busy_ns += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(f.end - f.start).count());
      finish_locked(bus, f);
      start_next_locked(bus, now);
    }
  }
}

std::optional<Clock::time_point> World::next_event_locked(int index) const {
  if (index < 0 || index >= static_cast<int>(adapters.size())) return std::nullopt;
  const Bus& bus = buses[adapters[index]->bus];
  if (bus.in_flight) return bus.in_flight->end;
  std::optional<Clock::time_point> next;
  for (auto& n : bus.nodes) next = std::min(next.value_or(Clock::time_point::max()), std::max(n.ready, bus.free_at));
  return next;
}

}  // namespace vsim
