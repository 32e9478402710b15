/* Control API of the simulated adapters, for tests, benchmarks and the demo (C linkage, ctypes-friendly). */
#ifndef VOREL_SIM_VSIM_H
#define VOREL_SIM_VSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every function taking an adapter index returns 0, or -1 for an unknown index. */

/* World */
void vsim_reset(void); /* removes every adapter, fault and log entry; front-end objects go stale */
int vsim_add_adapter(const char *serial); /* NULL: no serial descriptor; returns the new index */
int vsim_adapter_count(void);
int vsim_join(int a, int b); /* puts b (and its bus) on a's bus */
uint64_t vsim_now_ns(void);  /* the model's monotonic clock */

/* Identity and firmware tables */
int vsim_set_serial_mode(int a, int mode); /* 0 normal, 1 none, 2 unreadable, 3 raw bytes */
int vsim_set_name(int a, const uint8_t *name, size_t len); /* stored name bytes, up to 16 */
int vsim_set_capabilities(int a, uint32_t clock_freq, uint32_t tx_size, uint32_t rx_size,
                          uint32_t ctrlmode_supported, uint32_t features);
int vsim_set_bt_const(int a, const uint32_t limits[8]);
int vsim_set_device_info(int a, const uint8_t hw[4], const uint8_t fw[4], uint8_t channels);
int vsim_set_error_counters(int a, uint32_t rx, uint32_t tx);
int vsim_set_tx_fifo(int a, uint32_t capacity);
int vsim_set_sink(int a, int on); /* accept every write at once and drop it */
int vsim_set_clock(int a, uint64_t offset_us, int bits); /* timestamp = (elapsed + offset) mod 2^bits */
int vsim_set_drift(int a, double ppm); /* the oscillator's error: elapsed counts (1 + ppm/10^6) times */
uint64_t vsim_adapter_time_us(int a, uint64_t t_ns); /* the adapter's timestamp at model time t_ns */
/* The firmware's receive queue in frames (also reported as the capabilities' rx_data_buffer_size);
 * frames that find it full are dropped and counted in rx_overflows. */
int vsim_set_rx_queue(int a, uint32_t frames);
/* Every transfer that reaches the adapter completes fixed_us + a random 0..jitter_us later. */
int vsim_set_usb_latency(int a, uint32_t fixed_us, uint32_t jitter_us);
/* Completions are reported only at USB frame boundaries, every frame_us (0: at once), as WinUSB
 * reports short reads: each pending transfer completes at most once per frame. */
int vsim_set_usb_frame(int a, uint32_t frame_us);

/* Traffic */
/* Other nodes on adapter a's bus: "ID:PERIOD_MS[:HEXDATA]" (ID in hex), or a load node
 * "PERCENT[:8|0|mixed]" filling that share of the bus. -1 for an unknown adapter or a bad spec. */
int vsim_add_traffic(int a, const char *spec);
int vsim_add_load(int a, const char *spec);
/* Another node on adapter a's bus that sends nothing and acknowledges every frame at a's bit rate
 * now, as any other controller on a real bus does. */
int vsim_add_ack_node(int a);
uint64_t vsim_bus_busy_ns(int a); /* wire time of every frame finished on adapter a's bus */
/* Every frame on any bus to `path` in python-can's ASC layout (truncated unless append); NULL
 * stops. Returns 0, or -1 when the file cannot be opened. */
int vsim_set_capture(const char *path, int append);
/* Both queue for the host as a frame off the bus would: what does not fit the receive queue is
 * dropped and counted. */
int vsim_inject_rx(int a, const uint8_t *records, size_t len); /* whole 24-byte records */
int vsim_inject_frame(int a, uint32_t id_word, uint8_t flags, uint8_t dlc, const uint8_t *data,
                      size_t len); /* one RX record stamped with the adapter's clock now */

/* Scripts and faults */
int vsim_script_answer(int a, uint8_t request, const uint8_t *data, size_t len, int count);
int vsim_clear_scripts(int a);
int vsim_fail_control(int a, int request, int direction, int error, int count);
int vsim_fail_bulk(int a, uint8_t endpoint, int error, int transferred, int count);
int vsim_set_open_error(int a, int error);
int vsim_set_claim_error(int a, int error);
int vsim_set_stall(int a, uint8_t endpoint, int on);
int vsim_set_hostile(int a, uint64_t seed); /* 0 turns it off */
int vsim_unplug(int a);
void vsim_fail_init(int error, int count);        /* the next `count` libusb_init calls fail */
void vsim_fail_device_list(int error, int count); /* the next `count` device lists fail */

/* Inspection */
struct vsim_state {
  int32_t plugged;
  int32_t bus_on;
  uint32_t mode;
  uint32_t led_mode;
  uint32_t bittiming[8];
  uint8_t name[16];
  uint64_t frames_sent;
  uint64_t frames_received;
  uint64_t frames_dropped;
  uint64_t rx_overflows;
  uint32_t rx_queued;
  uint32_t tx_queued;
  int32_t claimed;
  int32_t bus;
  uint32_t tx_error_count;
  uint32_t rx_error_count;
  uint64_t tx_failures; /* sending attempts nobody acknowledged or an error flag destroyed */
};
int vsim_get_state(int a, struct vsim_state *out);
uint64_t vsim_received_with_id(int a, uint32_t id_word); /* frames queued for the host with this id */
void vsim_print_summary(int fd); /* every adapter's counters on stdout (fd 1) or stderr, as vorel-sim prints them */

struct vsim_log_entry {
  uint64_t seq;
  uint64_t t_ns;
  int32_t thread;
  int32_t adapter;
  int32_t kind; /* 0 control, 1 bulk */
  uint8_t request_type;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
  uint8_t endpoint;
  uint8_t reserved[3];
  uint32_t timeout_ms;
  int32_t result;
  int32_t transferred;
  uint16_t data_len;
  uint8_t data[64];
};
void vsim_log_enable(int on); /* off until enabled; keeps the last 65536 transfers */
void vsim_log_clear(void);
size_t vsim_log_count(void);
int vsim_log_get(size_t i, struct vsim_log_entry *out);

/* Emulated-device front end only (libvorel_sim_umockdev.so): publishes the adapters as Linux USB
 * devices in a umockdev testbed for the system's libusb. Call once, before the process first
 * initialises libusb, in a process started with libumockdev-preload.so.0 preloaded. Returns 0,
 * or -1 when not preloaded or the testbed cannot be set up. */
int vsim_umockdev_start(void);
const char *vsim_umockdev_dir(void); /* the testbed's root directory, NULL before the start */

/* Drop-in only: serves this process's adapters to other processes, whose drop-in libusb finds
 * them when VOREL_SIM_SERVER names the socket. Returns 0, or -1 with errno set. */
int vsim_serve_start(const char *socket_path);
void vsim_serve_stop(void); /* stops accepting and removes the socket file */

/* Live front-end objects, to prove that nothing leaks. */
int vsim_count_contexts(void);
int vsim_count_handles(void);
int vsim_count_claims(void);
int vsim_count_devices(void);
int vsim_count_transfers(void); /* drop-in only: asynchronous transfers allocated and not freed */

#ifdef __cplusplus
}
#endif

#endif
