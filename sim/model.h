// Device model of the simulated USB CAN adapter: firmware state, vendor requests, CAN bus, faults and log.
//
// The model knows nothing about how it is reached: front ends (the drop-in libusb, an emulated
// usbfs device) call these operations, which never block. Waiting for bus time, for a free TX
// slot or for a received record is the front end's business, done with wait_until() and the
// event times the model reports.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol.h"

namespace vsim {

using Clock = std::chrono::steady_clock;

// Transfer outcomes, with the numeric values of libusb's error codes so that every front end can
// map them one to one.
namespace status {
inline constexpr int ok = 0;
inline constexpr int io = -1;
inline constexpr int invalid_param = -2;
inline constexpr int access = -3;
inline constexpr int no_device = -4;
inline constexpr int not_found = -5;
inline constexpr int busy = -6;
inline constexpr int timeout = -7;
inline constexpr int overflow = -8;
inline constexpr int pipe = -9;
inline constexpr int interrupted = -10;
inline constexpr int no_mem = -11;
inline constexpr int not_supported = -12;
inline constexpr int other = -99;
// Not a libusb code: the operation cannot complete yet (TX FIFO full, nothing received).
inline constexpr int would_block = -1000;
}  // namespace status

// USB identity and layout of the adapter: the core's, and what the simulated firmware buffers.
using vorel::ENDPOINT_IN;
using vorel::ENDPOINT_OUT;
using vorel::PRODUCT_ID;
using vorel::VENDOR_ID;
inline constexpr size_t RECORDS_PER_READ = 2;
inline constexpr size_t DEFAULT_RX_CAPACITY = 64;  // frames, as small adapters buffer
inline constexpr size_t LOG_CAPACITY = 65536;     // transfers kept by the log ring

// How the serial string descriptor behaves.
enum class SerialMode : int {
  normal = 0,      // iSerialNumber 3, readable
  none = 1,        // iSerialNumber 0
  unreadable = 2,  // iSerialNumber 3, but the string request stalls
  raw = 3,         // the ASCII read returns the serial's bytes unconverted (to test UTF-8 checks)
};

// One logged transfer.
struct LogEntry {
  uint64_t seq = 0;
  uint64_t t_ns = 0;  // monotonic, Clock epoch
  int thread = 0;     // kernel thread id
  int adapter = -1;
  int kind = 0;  // 0 control, 1 bulk
  uint8_t request_type = 0, request = 0;
  uint16_t value = 0, index = 0, length = 0;
  uint8_t endpoint = 0;
  uint32_t timeout_ms = 0;
  int result = 0;  // bytes transferred or a status code
  int transferred = 0;
  uint16_t data_len = 0;
  std::array<uint8_t, 64> data{};  // first bytes of the data stage (OUT: sent, IN: received)
};

struct ScriptedAnswer {
  std::vector<uint8_t> bytes;
  int remaining = 1;  // < 0: forever
};

struct ControlFault {
  int request = -1;    // -1: any request
  int direction = -1;  // -1: any, 0: OUT, 1: IN
  int error = status::io;
  int remaining = 1;  // < 0: forever
};

struct BulkFault {
  uint8_t endpoint = 0;
  int error = status::timeout;
  int transferred = 0;  // bytes reported as moved before the error
  int remaining = 1;
};

// Fields read by the front ends' lock-free fast path are atomic; everything else is guarded by
// World::mu. Adapters are never freed while the process runs (reset() retires them), so a front
// end may keep a pointer to one.
struct Adapter {
  int index = 0;
  std::atomic<bool> plugged{true};

  // identity
  std::string serial;
  SerialMode serial_mode = SerialMode::normal;
  uint8_t bus_number = 1;
  uint8_t address = 0;

  // firmware tables (raw payloads as the firmware answers them)
  std::array<uint8_t, 24> device_info{};
  std::array<uint8_t, 24> capabilities{};
  std::array<uint8_t, 48> bt_const{};
  std::array<uint8_t, 32> bittiming{};
  bool bus_on = false;
  uint32_t rx_error_count = 0;
  uint32_t tx_error_count = 0;
  uint32_t mode = 0;
  uint32_t led_mode = 1;
  std::array<uint8_t, 16> name{};

  // clock: microseconds since creation, scaled by the oscillator's error, plus an offset,
  // wrapped to clock_bits
  Clock::time_point created;
  uint64_t clock_offset_us = 0;
  int clock_bits = 32;
  double drift_ppm = 0;

  // USB: every transfer that reaches the adapter completes this long after it could, as a
  // hardware round trip would (fixed part plus a uniformly random part up to the jitter)
  std::chrono::microseconds usb_latency{0};
  std::chrono::microseconds usb_jitter{0};
  // Non-zero: completions are reported only at USB frame boundaries of this length, as WinUSB
  // reports short reads (each pending transfer at most once per frame)
  std::chrono::microseconds usb_frame{0};
  uint64_t jitter_seed = 0x5EED;

  // frames
  size_t tx_fifo_capacity = 16;
  std::atomic<bool> sink{false};  // accept every write at once and drop it (speed measurements)
  std::deque<std::array<uint8_t, vorel::tx::SIZE>> tx_fifo;
  std::deque<Clock::time_point> tx_enqueued;
  // The FIFO's first frame is on the wire: it keeps its slot until it is sent, or given up.
  bool tx_head_on_wire = false;
  // The firmware's host-bound queue: as many frames as the capabilities' rx_data_buffer_size
  // says (set_rx_capacity keeps the two in step); frames that find it full are dropped.
  std::deque<std::array<uint8_t, vorel::rx::SIZE>> rx_queue;
  size_t rx_capacity = DEFAULT_RX_CAPACITY;
  uint64_t frames_sent = 0, frames_received = 0, rx_overflows = 0;
  uint64_t tx_failures = 0;  // attempts nobody acknowledged or an error flag destroyed
  std::atomic<uint64_t> frames_dropped{0};
  std::map<uint32_t, uint64_t> received_by_id;  // frames queued for the host, by identifier word

  // bus membership
  int bus = 0;

  // faults and scripts
  int open_error = 0;
  int claim_error = 0;
  std::map<uint8_t, std::deque<ScriptedAnswer>> scripted;  // IN answers by request code
  std::vector<ControlFault> control_faults;
  std::vector<BulkFault> bulk_faults;
  std::atomic<int> bulk_faults_pending{0};  // bulk_faults.size(), for the fast path
  std::atomic<bool> stall_out{false};
  bool stall_in = false;
  uint64_t hostile_seed = 0;  // non-zero: IN answers are random lengths and bytes

  // who has claimed interface 0 (front-end handle identity), nullptr when free
  const void* claim_owner = nullptr;

  uint64_t now_us(Clock::time_point t) const;
  void set_rx_capacity(size_t frames);
};

struct InFlight {
  int sender = -1;  // an adapter's index; a traffic node k is -1 - k
  std::array<uint8_t, vorel::tx::SIZE> record{};
  Clock::time_point end;
  Clock::time_point start{};
};

// Another node on a bus, not an adapter: one frame every period, or as many frames as fill a
// share of the bus. Its frames contend for the bus like an adapter's; the next one is made
// when the previous has won arbitration, so a node costs nothing while it waits.
struct TrafficNode {
  enum class Kind { periodic, load };
  enum class Frames { max8, empty, mixed };  // load frames: 8 data bytes, none, 0..8 in turn
  Kind kind = Kind::periodic;
  Frames frames = Frames::max8;
  std::array<uint8_t, vorel::tx::SIZE> record{};  // periodic: the frame sent every time
  std::chrono::nanoseconds period{};              // periodic
  double share = 0;                               // load: fraction of the bus, (0, 1]
  uint64_t seq = 0;                               // load: frames sent so far
  uint32_t bitrate = 0;                           // its bit rate: its adapter's when added
  Clock::time_point ready{};                      // when the next frame wants the bus

  // The load node's next frame: the sequence number counts in the identifier (mod 2048) and,
  // little-endian, in the data bytes, so that a receiver can see loss and reordering.
  std::array<uint8_t, vorel::tx::SIZE> next_record() const;
};

struct Bus {
  std::vector<int> members;
  std::vector<TrafficNode> nodes;
  std::vector<uint32_t> ack_nodes;  // bit rates of other nodes that send nothing, only acknowledge
  std::optional<InFlight> in_flight;  // sender -1 - k: node k
  Clock::time_point free_at{};
  uint64_t busy_ns = 0;  // wire time of every frame finished, for load measurements
};

// The whole simulated world. One mutex guards all of it: transfers are short, and one lock keeps
// the bus, every FIFO and the log consistent without any lock order to get wrong.
class World {
 public:
  static World& get();

  // Guards every member below; front ends hold it while calling the *_locked operations and wait
  // on cv for changes (a frame delivered, a FIFO slot freed, an unplug, a reset).
  std::mutex mu;
  std::condition_variable cv;

  // --- set-up (locks internally) -------------------------------------------------------------
  void reset();
  int add_adapter(const std::optional<std::string>& serial);
  void join(int a, int b);
  Adapter* adapter_locked(int index);

  // --- operations for front ends (caller holds mu) -------------------------------------------
  // Plugged-in adapters, in the order libusb on Linux lists such devices.
  std::vector<int> attached_locked() const;
  // Standard and vendor control requests. `data` holds the OUT payload or receives the IN answer.
  // Returns bytes moved or a status; `wait_timeout` is set when the outcome must only be reported
  // after the transfer's time-out has run out (a scripted time-out).
  int control_locked(int adapter, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                     std::span<uint8_t> data, bool& wait_timeout);
  // Non-blocking bulk transfers: would_block when the caller must wait and try again.
  int bulk_out_locked(int adapter, std::span<const uint8_t> data, int& accepted);
  int bulk_in_locked(int adapter, std::span<uint8_t> buf, int& filled);
  // The same without running the buses first (for a front end called while they run).
  int take_rx_locked(int adapter, std::span<uint8_t> buf, int& filled);
  // Called (mu held, while the buses run) when a frame reaches `adapter`'s queue at bus time
  // `t`: a front end whose reads wait there takes it as a host controller would have then,
  // whenever the thread that runs the model got the processor.
  void (*rx_queued)(int adapter, Clock::time_point t) = nullptr;
  // Pending scripted bulk fault for this endpoint, consumed when returned.
  std::optional<BulkFault> take_bulk_fault_locked(int adapter, uint8_t endpoint);
  // Runs the buses up to `now`: finishes frames whose wire time is over and starts the next.
  void advance_locked(Clock::time_point now);
  // Every adapter's counters, one line each (what `vorel-sim` prints at the end).
  void print_summary_locked(std::FILE* to) const;
  // Earliest instant at which the bus of `adapter` changes state: a frame in flight ends, or a
  // traffic node wants the bus.
  std::optional<Clock::time_point> next_event_locked(int adapter) const;
  void log_locked(LogEntry e);
  // How much later than `done` a transfer to `adapter` completes (its USB round trip).
  Clock::duration usb_delay_locked(int adapter);
  // When a transfer to `adapter` that the adapter answered at `done` completes: after its round
  // trip, at the next USB frame boundary where frames are set.
  Clock::time_point usb_done_at_locked(int adapter, Clock::time_point done);

  // --- traffic nodes and capture (lock internally) -------------------------------------------
  // Adds a node to the bus of `adapter`, at that adapter's bit rate; returns -1 when there is no
  // such adapter.
  int add_node(int adapter, TrafficNode node);
  int add_ack_node(int adapter);
  // Writes every frame on any bus to `path` in python-can's ASC layout; nullptr stops it.
  bool set_capture(const char* path, bool append);

  // --- publication ---------------------------------------------------------------------------
  // A front end that publishes devices (rather than answering enumeration when asked) is told
  // after adapters were added, unplugged or reset; called on the caller's thread, mu not held.
  std::atomic<void (*)()> adapters_changed{nullptr};
  void notify_adapters_changed() const {
    if (auto fn = adapters_changed.load()) fn();
  }

  // --- process-wide faults: the next N context creations / device lists fail --------------------
  int init_error = 0, init_error_count = 0;
  int list_error = 0, list_error_count = 0;

  // --- counters kept for the front ends ------------------------------------------------------
  int contexts = 0, handles = 0, claims = 0, device_refs = 0, transfers = 0;
  std::atomic<uint64_t> generation{0};  // bumped by reset(); objects of older ones are stale

  // --- log: off unless asked for, the last LOG_CAPACITY transfers, optionally a file too ------
  std::atomic<bool> log_enabled{false};
  std::deque<LogEntry> log;
  uint64_t log_seq = 0;
  std::FILE* log_file = nullptr;

  std::vector<std::unique_ptr<Adapter>> adapters;
  std::vector<std::unique_ptr<Adapter>> retired;  // adapters of earlier generations, kept alive
  std::vector<Bus> buses;

  uint32_t default_bitrate = 500000;  // of new adapters' bit timing
  size_t default_rx_capacity = DEFAULT_RX_CAPACITY;

  std::FILE* capture = nullptr;  // every frame on a bus in ASC lines, when set
  Clock::time_point capture_start{};

 private:
  World();
  void configure_from_environment();
  int add_adapter_quietly(const std::optional<std::string>& serial);
  void finish_locked(Bus& bus, const InFlight& f);
  void deliver_locked(Bus& bus, const InFlight& f, uint32_t bitrate);
  void report_bus_error_locked(Adapter& a, uint32_t state_before, uint32_t error_class, uint8_t prot_type,
                               uint8_t prot_location, Clock::time_point t);
  void schedule_faults(const std::string& spec, bool unplug);
  void capture_locked(const InFlight& f);
  void start_bus_driver_locked();
  bool bus_driver_started = false;
  void start_next_locked(Bus& bus, Clock::time_point now);
  std::optional<std::vector<uint8_t>> scripted_answer_locked(Adapter& a, uint8_t request);
  int vendor_in_locked(Adapter& a, uint8_t request, std::span<uint8_t> data);
  int vendor_out_locked(Adapter& a, uint8_t request, std::span<const uint8_t> data);
  int standard_locked(Adapter& a, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                      std::span<uint8_t> data);
};

// Little-endian helpers for payloads.
inline void put_u32(std::span<uint8_t> b, size_t off, uint32_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
  b[off + 2] = static_cast<uint8_t>(v >> 16);
  b[off + 3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get_u32(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

// Descriptors as the adapter reports them.
std::vector<uint8_t> device_descriptor_bytes(const Adapter& a);
std::vector<uint8_t> config_descriptor_bytes();
// The adapter's name in sysfs: bus and port ("1-3").
std::string sysfs_name(const Adapter& a);
// Number of bits a frame occupies on the wire (without stuff bits) for a TX record.
uint32_t frame_bits(std::span<const uint8_t, vorel::tx::SIZE> record);

// Parsers of the simulator's configuration texts (vorel-sim's options, VOREL_SIM_* variables).
// Each returns nullopt for a text that is not exactly of its form.
//   traffic: ID:PERIOD_MS[:HEXDATA]  (ID in hex, 0x optional; above 0x7FF or 8 digits: extended)
//   load:    PERCENT[:8|0|mixed]
std::optional<TrafficNode> parse_traffic(const std::string& spec);
std::optional<TrafficNode> parse_load(const std::string& spec);

}  // namespace vsim
