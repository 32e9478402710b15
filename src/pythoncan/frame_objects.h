// Python objects of frames and messages: what received frames become, and what the methods that
// send, filter and wait take.
#pragma once

#include <memory>
#include <vector>

#include "bit_timing.h"
#include "convert.h"
#include "device.h"
#include "py_util.h"

namespace vorel::py {

// How the plug-in's message class lays out its slots, so that received frames are built as its
// instances directly (what the class's __init__ would set, without running it).
struct MessageLayout {
  enum Field { timestamp, arbitration_id, is_extended_id, is_remote_frame, is_error_frame, channel, is_fd, is_rx,
               bitrate_switch, error_state_indicator, data, dlc, FIELDS };
  PyTypeObject* type = nullptr;  // strong references, released with the object
  PyObject* bus_channel = nullptr;  // every message's channel
  Py_ssize_t offset[FIELDS] = {};
};

// A received frame as receive_frame returns it: (ts_us, arb_id, is_ext, is_rtr, is_err, dlc, data).
PyObject* frame_tuple(const ReceivedFrame& f);
// For the plug-in: a frame as (host_time, arb_id, is_ext, is_rtr, is_err, dlc, data, is_rx),
// host_time in seconds since the epoch, is_rx False for the echo of a frame sent; the mark of an
// overrun as its error frame.
PyObject* entry_tuple(const RxEntry& e);
// A received frame as an instance of the plug-in's message class, its slots filled directly.
PyObject* message_of(const MessageLayout& m, const RxEntry& e);
// The layout of `type`'s slots, or nullptr with TypeError when it has not exactly the fields of
// MessageLayout as writable object slots.
std::unique_ptr<MessageLayout> layout_of(PyObject* type, PyObject* channel);

// A time-out in seconds for the plug-in's methods: None waits without limit, so does infinity;
// zero, a negative value and NaN do not wait.
bool to_timeout_ns(PyObject* o, uint64_t& out);
// The same as a parameter's rule: into(seconds).
struct Seconds {
  uint64_t ns = 0;
};
inline bool convert_into(PyObject* o, Seconds& out) { return to_timeout_ns(o, out.ns); }
// A send time-out in seconds: None and infinity wait without limit (NEVER), a negative one not
// at all, NaN is refused.
bool to_send_timeout_ns(PyObject* o, uint64_t& out);
struct SendSeconds {
  uint64_t ns = 0;
};
inline bool convert_into(PyObject* o, SendSeconds& out) { return to_send_timeout_ns(o, out.ns); }
// The `frames` argument of the periodic methods: every (arb_id, is_ext, is_rtr, is_err, dlc,
// data) description, encoded, in order.
bool to_tx_records(PyObject* o, std::vector<TxRecord>& out);
// set_filters' (can_id, can_mask, extended or None) tuples.
bool to_filters(PyObject* o, std::vector<FrameFilter>& out);

// The attributes of a python-can Message that make a classic frame, checked as Message's own
// check does (ValueError in its words); is_fd refused.
struct MessageFrame {
  uint32_t arb_id = 0;
  bool is_ext = false, is_rtr = false, is_err = false;
  uint8_t dlc = 0;
  FrameData data;
};
bool message_frame(PyObject* msg, MessageFrame& f);

// A timing as python-can's BitTiming names its fields; sample point in permille.
PyObject* timing_dict(const BitTiming& b);

}  // namespace vorel::py
