// Methods of NativeVorelDevice: opening, frames in and out, filters, configuration, periodic tasks.
#include "device_object.h"

#include <structmember.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <libusb-1.0/libusb.h>
#include <limits>
#include <string>
#include <thread>

#include "bit_timing.h"
#include "control.h"
#include "convert.h"
#include "errors.h"

namespace vorel::py {

namespace {

// Set once, by the first import that publishes it; read by any thread afterwards.
std::atomic<PyTypeObject*> g_device_type{nullptr};

// Argument lists of the methods, as their error messages name them.
#define VOREL_SIG(var, func, ...)                             \
  constexpr const char* var##_names[] = {__VA_ARGS__};        \
  constexpr Signature var{func, std::span(var##_names)}

VOREL_SIG(NEW, "NativeVorelDevice.__new__()", "serial");
VOREL_SIG(OPEN_BY_NAME, "NativeVorelDevice.open_by_name()", "name");
VOREL_SIG(SET_BITRATE, "NativeVorelDevice.set_bitrate()", "bitrate", "sample_point");
VOREL_SIG(SET_BUS_STATE, "NativeVorelDevice.set_bus_state()", "on");
VOREL_SIG(SET_MODE, "NativeVorelDevice.set_mode()", "ctrlmode");
VOREL_SIG(SET_LED_MODE, "NativeVorelDevice.set_led_mode()", "mode");
VOREL_SIG(SET_DEVICE_NAME, "NativeVorelDevice.set_device_name()", "name");
VOREL_SIG(SET_FILTERS, "NativeVorelDevice.set_filters()", "filters");
VOREL_SIG(SEND_FRAME, "NativeVorelDevice.send_frame()", "arb_id", "is_ext", "is_rtr", "is_err",
          "dlc", "data", "timeout_ms");
VOREL_SIG(RECEIVE_FRAME, "NativeVorelDevice.receive_frame()", "timeout_ms");
VOREL_SIG(START_PERIODIC, "NativeVorelDevice.start_periodic()", "frames", "period_us",
          "duration_ms");
VOREL_SIG(STOP_PERIODIC, "NativeVorelDevice.stop_periodic()", "task_id");
VOREL_SIG(MODIFY_PERIODIC, "NativeVorelDevice.modify_periodic()", "task_id", "frames");
VOREL_SIG(START_RECEIVER, "NativeVorelDevice._start_receiver()", "capacity", "transfers");
VOREL_SIG(RECEIVE_BATCH, "NativeVorelDevice._receive()", "timeout", "max_frames");
VOREL_SIG(USE_MESSAGES, "NativeVorelDevice._use_messages()", "message_type", "channel");
VOREL_SIG(CALC_BIT_TIMING, "NativeVorelDevice._calc_bit_timing()", "bitrate", "sample_point_ppm", "tolerance_ppm");
VOREL_SIG(SET_BIT_TIMING, "NativeVorelDevice._set_bit_timing()", "brp", "tseg1", "tseg2", "sjw");
VOREL_SIG(SEND_MESSAGE, "NativeVorelDevice._send()", "msg", "timeout", "echo");
VOREL_SIG(DRAIN, "NativeVorelDevice._drain()", "timeout");
VOREL_SIG(PUSH_ERROR_FRAME, "NativeVorelDevice._push_error_frame()", "arb_id", "data");

#undef VOREL_SIG

// Converters bound to a named parameter.
template <typename T, bool (*Convert)(PyObject*, T&)>
bool arg(const char* name, PyObject* o, T& out) {
  return convert_arg(name, [&] { return Convert(o, out); });
}
constexpr auto arg_u64 = arg<uint64_t, to_u64>;
constexpr auto arg_u32 = arg<uint32_t, to_u32>;
constexpr auto arg_u8 = arg<uint8_t, to_u8>;
constexpr auto arg_bool = arg<bool, to_bool>;
constexpr auto arg_str = arg<std::string, to_str>;
constexpr auto arg_data = arg<FrameData, to_data>;

PyObject* none() { Py_RETURN_NONE; }

// A new object owning `transport`; without an object the transport closes again.
PyObject* wrap(PyTypeObject* type, std::shared_ptr<UsbTransport> transport) {
  auto slot = std::make_unique<DeviceSlot>(std::make_unique<Device>(std::move(transport)));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<DeviceObject*>(self)->slot = slot.release();
  reinterpret_cast<DeviceObject*>(self)->messages = nullptr;
  return self;
}

PyObject* frame_tuple(const ReceivedFrame& f) {
  return Py_BuildValue("(KkOOOBy#)", static_cast<unsigned long long>(f.timestamp_us),
                       static_cast<unsigned long>(f.arb_id), f.is_ext ? Py_True : Py_False,
                       f.is_rtr ? Py_True : Py_False, f.is_err ? Py_True : Py_False, f.dlc,
                       f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                       static_cast<Py_ssize_t>(f.data.size()));
}

// For the plug-in: a frame as (host_time, arb_id, is_ext, is_rtr, is_err, dlc, data, is_rx),
// host_time in seconds since the epoch, is_rx False for the echo of a frame sent; the mark of an
// overrun as (host_time, frames_dropped).
PyObject* entry_tuple(const RxEntry& e) {
  if (e.dropped != 0) return Py_BuildValue("(dK)", e.host_time, static_cast<unsigned long long>(e.dropped));
  const ReceivedFrame& f = e.frame;
  return Py_BuildValue("(dkOOOBy#O)", e.host_time, static_cast<unsigned long>(f.arb_id), f.is_ext ? Py_True : Py_False,
                       f.is_rtr ? Py_True : Py_False, f.is_err ? Py_True : Py_False, f.dlc,
                       f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                       static_cast<Py_ssize_t>(f.data.size()), e.origin == Origin::echo ? Py_False : Py_True);
}

// A received frame as an instance of the plug-in's message class, its slots filled directly.
PyObject* message_of(const MessageLayout& m, const RxEntry& e) {
  const ReceivedFrame& f = e.frame;
  PyObject* values[MessageLayout::FIELDS] = {
      PyFloat_FromDouble(e.host_time),
      PyLong_FromUnsignedLong(f.arb_id),
      Py_NewRef(f.is_ext ? Py_True : Py_False),
      Py_NewRef(f.is_rtr ? Py_True : Py_False),
      Py_NewRef(f.is_err ? Py_True : Py_False),
      Py_NewRef(m.bus_channel),
      Py_NewRef(Py_False),
      Py_NewRef(e.origin == Origin::echo ? Py_False : Py_True),
      Py_NewRef(Py_False),
      Py_NewRef(Py_False),
      PyByteArray_FromStringAndSize(f.is_rtr || f.data.empty() ? "" : reinterpret_cast<const char*>(f.data.data()),
                                    f.is_rtr ? 0 : static_cast<Py_ssize_t>(f.data.size())),
      PyLong_FromLong(f.dlc),
  };
  PyObject* msg = m.type->tp_alloc(m.type, 0);
  bool ok = msg != nullptr;
  for (PyObject* v : values) ok = ok && v != nullptr;
  if (!ok) {
    for (PyObject* v : values) Py_XDECREF(v);
    Py_XDECREF(msg);
    return nullptr;
  }
  // The object is new and not yet shared: plain stores, as the slots' own setters would make.
  for (int i = 0; i < MessageLayout::FIELDS; ++i)
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + m.offset[i]) = values[i];
  return msg;
}

// The layout of `type`'s slots, or nullptr with TypeError when it has not exactly the fields above
// as writable object slots.
std::unique_ptr<MessageLayout> layout_of(PyObject* type, PyObject* channel) {
  static constexpr const char* NAMES[MessageLayout::FIELDS] = {
      "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
      "is_fd", "is_rx", "bitrate_switch", "error_state_indicator", "data", "dlc"};
  if (!PyType_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "message_type must be a class");
    return nullptr;
  }
  auto m = std::make_unique<MessageLayout>();
  for (int i = 0; i < MessageLayout::FIELDS; ++i) {
    Ref d(PyObject_GetAttrString(type, NAMES[i]));
    if (!d) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
    }
    const PyMemberDef* member = d && Py_IS_TYPE(d.get(), &PyMemberDescr_Type)
                                    ? reinterpret_cast<PyMemberDescrObject*>(d.get())->d_member
                                    : nullptr;
    if (!member || member->type != T_OBJECT_EX || (member->flags & READONLY) ||
        member->offset < static_cast<Py_ssize_t>(sizeof(PyObject)) ||
        member->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) > reinterpret_cast<PyTypeObject*>(type)->tp_basicsize) {
      PyErr_Format(PyExc_TypeError, "message_type has no object slot %s", NAMES[i]);
      return nullptr;
    }
    m->offset[i] = member->offset;
  }
  m->type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  m->bus_channel = Py_NewRef(channel);
  return m;
}

// A time-out in seconds for the plug-in's methods: None waits without limit, so does infinity;
// zero, a negative value and NaN do not wait.
bool to_timeout_ns(PyObject* o, uint64_t& out) {
  if (o == Py_None) {
    out = platform::NEVER;
    return true;
  }
  double s = PyFloat_AsDouble(o);
  if (s == -1.0 && PyErr_Occurred()) return false;
  if (!(s > 0)) out = 0;
  else if (s >= 1e9) out = platform::NEVER;
  else out = static_cast<uint64_t>(s * 1e9);
  return true;
}

// One (arb_id, is_ext, is_rtr, is_err, dlc, data) description, encoded.
bool to_tx_record(PyObject* item, TxRecord& out) {
  if (!check_tuple(item, 6)) return false;
  uint32_t arb_id;
  bool is_ext, is_rtr, is_err;
  uint8_t dlc;
  FrameData data;
  if (!to_u32(PyTuple_GET_ITEM(item, 0), arb_id) || !to_bool(PyTuple_GET_ITEM(item, 1), is_ext) ||
      !to_bool(PyTuple_GET_ITEM(item, 2), is_rtr) || !to_bool(PyTuple_GET_ITEM(item, 3), is_err) ||
      !to_u8(PyTuple_GET_ITEM(item, 4), dlc) || !to_data(PyTuple_GET_ITEM(item, 5), data))
    return false;
  out = TxFrame::to_bytes(arb_id, is_ext, is_rtr, is_err, dlc, data.bytes());
  return true;
}

// The `frames` argument of the periodic methods: every description, in order.
bool to_tx_records(PyObject* o, std::vector<TxRecord>& out) {
  return convert_arg("frames", [&] {
    if (!refuse_str_and_non_sequence(o)) return false;
    out.reserve(length_hint(o));
    return for_each_in_sequence(o, [&](PyObject* item) {
      TxRecord r;
      if (!to_tx_record(item, r)) return false;
      out.push_back(r);
      return true;
    });
  });
}

bool to_filters(PyObject* o, std::vector<FrameFilter>& out) {
  return convert_arg("filters", [&] {
    if (!refuse_str_and_non_sequence(o)) return false;
    out.reserve(length_hint(o));
    return for_each_in_sequence(o, [&](PyObject* item) {
      if (!check_tuple(item, 3)) return false;
      uint32_t can_id, can_mask;
      std::optional<bool> extended;
      if (!to_u32(PyTuple_GET_ITEM(item, 0), can_id) || !to_u32(PyTuple_GET_ITEM(item, 1), can_mask))
        return false;
      if (PyObject* e = PyTuple_GET_ITEM(item, 2); e != Py_None) {
        bool b;
        if (!to_bool(e, b)) return false;
        extended = b;
      }
      out.push_back(FrameFilter::from_tuple(can_id, can_mask, extended));
      return true;
    });
  });
}

// Calls a core operation that yields nothing and maps its failure with `prefix`.
PyObject* unit_or_raise(const Status& s, std::string_view prefix) {
  if (!s) return raise_device_error(prefix, s.error());
  return none();
}

}  // namespace

PyTypeObject* device_type() noexcept { return g_device_type.load(std::memory_order_acquire); }
bool publish_device_type(PyTypeObject* type) noexcept {
  PyTypeObject* none = nullptr;
  return g_device_type.compare_exchange_strong(none, type, std::memory_order_acq_rel);
}

PyObject* raise_released() {
  return raise_error("NativeVorelDevice has been released: it no longer holds an adapter", ErrorKind::NotOpen);
}

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_tuple_dict(NEW, args, kwargs, a)) return nullptr;
    std::optional<std::string> serial;
    if (a[0] != Py_None) {
      std::string s;
      if (!arg_str("serial", a[0], s)) return nullptr;
      if (!s.empty()) serial = std::move(s);
    }
    auto t = open_transport(serial);
    if (!t) return raise_device_error("Failed to open device: {}", t.error());
    return wrap(type, std::move(t).value());
  });
}

void device_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (MessageLayout* m = reinterpret_cast<DeviceObject*>(self)->messages) {
    Py_DECREF(m->type);
    Py_DECREF(m->bus_channel);
    delete m;
  }
  if (std::unique_ptr<DeviceSlot> slot{reinterpret_cast<DeviceObject*>(self)->slot}) {
    // Nobody else can reach the object now, so no call is inside the gate. A running receiver
    // ends within one read time-out.
    if (slot->device && slot->device->receiver_running()) {
      ThreadStateRelease detached;
      slot->device->stop_receiver();
    }
    // The device's destructor releases the rest; its periodic workers are let go of and keep
    // the transport open while they run.
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* list_devices(PyObject*, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    auto serials = list_adapter_serials();
    if (!serials) return raise_device_error("Enum err: {}", serials.error());
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const std::string& s : serials.value()) {
      Ref item(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* _probe_adapters(PyObject*, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    auto probes = vorel::probe_adapters();
    if (!probes) return raise_device_error("Enum err: {}", probes.error());
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const AdapterProbe& p : probes.value()) {
      Ref serial(p.serial ? PyUnicode_FromStringAndSize(p.serial->data(), static_cast<Py_ssize_t>(p.serial->size()))
                          : Py_NewRef(Py_None));
      if (!serial) return nullptr;
      Ref item(Py_BuildValue("{s:O,s:i,s:i,s:i,s:i}", "serial", serial.get(), "bus", p.bus, "address", p.address,
                             "open", p.open_code, "claim", p.claim_code));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* open_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)self;
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::string name;
    if (!parse_fastcall(OPEN_BY_NAME, args, nargs, kwnames, a) || !arg_str("name", a[0], name))
      return nullptr;
    auto fail = [&](const DeviceError& e) {
      return raise_error("Failed to open device by name '" + name + "': " + e.debug(), e);
    };
    auto serials = find_serials_by_name(name);
    if (!serials) return fail(serials.error());
    if (serials->empty()) return fail(DeviceError::plain(ErrorKind::DeviceNotFound));
    if (serials->size() > 1) return fail(DeviceError::multiple_devices(std::move(serials).value()));
    auto t = open_transport(serials->front());
    if (!t) return fail(t.error());
    return wrap(device_type(), std::move(t).value());
  });
}

PyObject* set_bitrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[2];
    uint32_t bitrate, sample_point;
    if (!parse_fastcall(SET_BITRATE, args, nargs, kwnames, a) ||
        !arg_u32("bitrate", a[0], bitrate) || !arg_u32("sample_point", a[1], sample_point))
      return nullptr;
    const UsbTransport& t = dev.transport();
    auto caps = get_capabilities(t);
    if (!caps) return raise_device_error("Failed caps: {}", caps.error());
    if (auto refused = check_bitrate_supported(bitrate, caps->ctrlmode_supported))
      return raise_error(*refused, ErrorKind::InvalidParameter);
    auto limits = get_bt_const(t);
    if (!limits) return raise_device_error("Failed bt_const: {}", limits.error());
    auto timing = calculate_bittiming(bitrate, sample_point, caps->clock_freq, limits.value());
    if (!timing) return raise_error("Invalid bit timing parameters", ErrorKind::InvalidParameter);
    return unit_or_raise(set_bittiming(t, *timing), "BT error: {}");
  });
}

PyObject* set_bus_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    bool on;
    if (!parse_fastcall(SET_BUS_STATE, args, nargs, kwnames, a) || !arg_bool("on", a[0], on))
      return nullptr;
    return unit_or_raise(vorel::set_bus_state(dev.transport(), on), "Bus err: {}");
  });
}

PyObject* set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    uint32_t ctrlmode;
    if (!parse_fastcall(SET_MODE, args, nargs, kwnames, a) || !arg_u32("ctrlmode", a[0], ctrlmode))
      return nullptr;
    return unit_or_raise(vorel::set_mode(dev.transport(), ctrlmode), "Mode err: {}");
  });
}

PyObject* get_bus_state(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto st = vorel::get_bus_state(dev.transport());
    if (!st) return raise_device_error("Get bus state err: {}", st.error());
    return Py_BuildValue("(kkk)", static_cast<unsigned long>(st->state),
                         static_cast<unsigned long>(st->rx_error_count),
                         static_cast<unsigned long>(st->tx_error_count));
  });
}

PyObject* flush_tx_queue(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    return unit_or_raise(vorel::flush_tx_queue(dev.transport()), "Flush TX err: {}");
  });
}

PyObject* set_led_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    uint32_t mode;
    if (!parse_fastcall(SET_LED_MODE, args, nargs, kwnames, a) || !arg_u32("mode", a[0], mode))
      return nullptr;
    return unit_or_raise(vorel::set_led_mode(dev.transport(), mode),
                         "Failed to set LED mode: {}");
  });
}

PyObject* get_led_mode(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto mode = vorel::get_led_mode(dev.transport());
    if (!mode) return raise_device_error("Failed to get LED mode: {}", mode.error());
    return PyLong_FromUnsignedLong(mode.value());
  });
}

PyObject* get_device_name(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto name = vorel::get_device_name(dev.transport());
    if (!name) return raise_device_error("Failed to get device name: {}", name.error());
    return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
  });
}

PyObject* set_device_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    std::string name;
    if (!parse_fastcall(SET_DEVICE_NAME, args, nargs, kwnames, a) || !arg_str("name", a[0], name))
      return nullptr;
    return unit_or_raise(vorel::set_device_name(dev.transport(), name),
                         "Failed to set device name: {}");
  });
}

PyObject* get_device_capabilities(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto caps = get_capabilities(dev.transport());
    if (!caps) return raise_device_error("Failed caps: {}", caps.error());
    return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k}", "clock_freq",
                         static_cast<unsigned long>(caps->clock_freq), "tx_data_buffer_size",
                         static_cast<unsigned long>(caps->tx_data_buffer_size),
                         "rx_data_buffer_size", static_cast<unsigned long>(caps->rx_data_buffer_size),
                         "ctrlmode_supported", static_cast<unsigned long>(caps->ctrlmode_supported),
                         "features_supported", static_cast<unsigned long>(caps->features_supported));
  });
}

PyObject* get_device_info(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto info = vorel::get_device_info(dev.transport());
    if (!info) return raise_device_error("Device info err: {}", info.error());
    std::string hw = version_text(info->hw_version), fw = version_text(info->fw_version);
    return Py_BuildValue("(s#s#B)", hw.data(), static_cast<Py_ssize_t>(hw.size()), fw.data(),
                         static_cast<Py_ssize_t>(fw.size()), info->channel_count);
  });
}

PyObject* set_filters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    std::vector<FrameFilter> filters;
    if (!parse_fastcall(SET_FILTERS, args, nargs, kwnames, a) || !to_filters(a[0], filters))
      return nullptr;
    dev.set_filters(std::move(filters));
    return none();
  });
}

PyObject* clear_filters(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    dev.clear_filters();
    return none();
  });
}

PyObject* send_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[7];
    uint32_t arb_id;
    bool is_ext, is_rtr, is_err;
    uint8_t dlc;
    FrameData data;
    uint64_t timeout_ms;
    if (!parse_fastcall(SEND_FRAME, args, nargs, kwnames, a) || !arg_u32("arb_id", a[0], arb_id) ||
        !arg_bool("is_ext", a[1], is_ext) || !arg_bool("is_rtr", a[2], is_rtr) ||
        !arg_bool("is_err", a[3], is_err) || !arg_u8("dlc", a[4], dlc) ||
        !arg_data("data", a[5], data) || !arg_u64("timeout_ms", a[6], timeout_ms))
      return nullptr;
    const TxRecord record = TxFrame::to_bytes(arb_id, is_ext, is_rtr, is_err, dlc, data.bytes());
    const UsbTransport& t = dev.transport();
    Result<size_t> written = size_t{0};
    {
      ThreadStateRelease detached;
      written = t.bulk_write(record, Duration::from_millis(timeout_ms));
    }
    if (!written) return raise_device_error("Send failed: {}", written.error());
    return none();
  });
}

PyObject* receive_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    uint64_t timeout_ms;
    if (!parse_fastcall(RECEIVE_FRAME, args, nargs, kwnames, a) ||
        !arg_u64("timeout_ms", a[0], timeout_ms))
      return nullptr;
    // 0 waits without limit, as libusb's time-outs; any other is kept finite, so that a read
    // given 2^64 - 1 ms asks libusb for its longest time-out rather than for none.
    const uint64_t timeout_ns =
        timeout_ms == 0 ? platform::NEVER : std::min(platform::saturating_mul(timeout_ms, 1000000), platform::NEVER - 1);
    Result<Received> got = Received{};
    {
      ThreadStateRelease detached;
      got = dev.receive(timeout_ns, 1, false);
    }
    if (!got) return raise_error("Receive err: " + got.error().display(), got.error());
    return got->entries.empty() ? none() : frame_tuple(got->entries.front().frame);
  });
}

namespace {

// start_periodic and the plug-in's _start_periodic: the same arguments, a worker that catches up
// every missed deadline, or one that resumes from now after a long stall.
PyObject* start_worker(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool resume) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[3];
    std::vector<TxRecord> records;
    uint64_t period_us;
    std::optional<uint64_t> duration_ms;
    if (!parse_fastcall(START_PERIODIC, args, nargs, kwnames, a) || !to_tx_records(a[0], records) ||
        !arg_u64("period_us", a[1], period_us))
      return nullptr;
    if (a[2] != Py_None) {
      uint64_t d;
      if (!arg_u64("duration_ms", a[2], d)) return nullptr;
      duration_ms = d;
    }
    if (records.empty()) return raise_error("No frames to send", ErrorKind::InvalidParameter);
    auto frames = std::make_shared<TaskFrames>();
    frames->records = std::move(records);
    auto stop = std::make_shared<platform::StopSignal>();
    platform::SpawnError error;
    platform::Thread thread =
        spawn_worker(WorkerPlan{frames, stop, dev.shared_transport(), period_us, duration_ms, resume}, &error);
    if (!thread.joinable()) return raise_error("Failed to spawn periodic thread: " + error.text, ErrorKind::Internal);
    uint32_t id = dev.registry().add(dev.task_ids(), PeriodicTask{stop, frames, std::move(thread)});
    return PyLong_FromUnsignedLong(id);
  });
}

}  // namespace

PyObject* start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return start_worker(self, args, nargs, kwnames, false);
}

PyObject* _start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return start_worker(self, args, nargs, kwnames, true);
}

PyObject* stop_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    uint32_t id;
    if (!parse_fastcall(STOP_PERIODIC, args, nargs, kwnames, a) || !arg_u32("task_id", a[0], id))
      return nullptr;
    std::optional<platform::Thread> thread = dev.registry().stop(id);
    if (!thread) return raise_error("No periodic task with id " + std::to_string(id), ErrorKind::InvalidParameter);
    {
      ThreadStateRelease detached;
      thread->join();
    }
    return none();
  });
}

PyObject* modify_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[2];
    uint32_t id;
    std::vector<TxRecord> records;
    if (!parse_fastcall(MODIFY_PERIODIC, args, nargs, kwnames, a) || !arg_u32("task_id", a[0], id) ||
        !to_tx_records(a[1], records))
      return nullptr;
    if (!dev.registry().modify(id, std::move(records)))
      return raise_error("No periodic task with id " + std::to_string(id), ErrorKind::InvalidParameter);
    return none();
  });
}

PyObject* stop_all_periodic(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    std::vector<platform::Thread> threads = dev.registry().stop_all();
    if (!threads.empty()) {
      ThreadStateRelease detached;
      for (auto& t : threads) t.join();
    }
    return none();
  });
}

// --- for the plug-in: the receiver ----------------------------------------------------------------

PyObject* _start_receiver(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[2];
    uint64_t capacity, transfers;
    if (!parse_fastcall(START_RECEIVER, args, nargs, kwnames, a) || !arg_u64("capacity", a[0], capacity) ||
        !arg_u64("transfers", a[1], transfers))
      return nullptr;
    Status started = ok_status();
    {
      // Detached: a start whose reads cannot all be submitted waits for those that were.
      ThreadStateRelease detached;
      started = dev.start_receiver(static_cast<size_t>(capacity), static_cast<size_t>(transfers));
    }
    return unit_or_raise(started, "Receiver err: {}");
  });
}

PyObject* _stop_receiver(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    {
      ThreadStateRelease detached;
      dev.stop_receiver();
    }
    return none();  // attached again: on 3.11, None is reference counted
  });
}

namespace {

// Waits that may be long run in slices this long, and the interpreter's signal handlers run
// between them (on the main thread; elsewhere the check returns at once), so that Ctrl-C ends
// them within a slice. A frame waiting costs no slice.
constexpr uint64_t SIGNAL_SLICE_NS = 50'000'000;

}  // namespace

PyObject* _receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[2];
    uint64_t timeout_ns, max_frames;
    if (!parse_fastcall(RECEIVE_BATCH, args, nargs, kwnames, a) ||
        !convert_arg("timeout", [&] { return to_timeout_ns(a[0], timeout_ns); }) ||
        !arg_u64("max_frames", a[1], max_frames))
      return nullptr;
    // The receiver's waits run in slices, with the signal handlers between them; a read of
    // this caller's is one call.
    const uint64_t deadline = platform::saturating_add(platform::monotonic_ns(), timeout_ns);
    Result<Received> received = Received{};
    for (;;) {
      const bool sliced = dev.receiver_running();
      const uint64_t now = platform::monotonic_ns();
      const uint64_t wait = sliced ? std::min(deadline > now ? deadline - now : 0, SIGNAL_SLICE_NS) : timeout_ns;
      {
        ThreadStateRelease detached;
        received = dev.receive(wait, static_cast<size_t>(std::min<uint64_t>(max_frames, SIZE_MAX)), true);
      }
      if (!received) return raise_error("Receive err: " + received.error().display(), received.error());
      if (!sliced || received->end != WaitEnd::timeout || platform::monotonic_ns() >= deadline) break;
      if (PyErr_CheckSignals() < 0) return nullptr;  // KeyboardInterrupt: nothing taken
    }
    std::vector<RxEntry>& got = received->entries;
    Ref list(PyList_New(static_cast<Py_ssize_t>(got.size())));
    if (!list) return nullptr;
    const MessageLayout* messages = reinterpret_cast<DeviceObject*>(self)->messages;
    for (size_t i = 0; i < got.size(); ++i) {
      const RxEntry& e = got[i];
      PyObject* item = messages && e.dropped == 0 ? message_of(*messages, e) : entry_tuple(e);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* _interrupt(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    dev.interrupt_waits();
    return none();
  });
}

PyObject* _stats(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    RxStats st;
    {
      ThreadStateRelease detached;  // a stop of the receiver under way holds its lock a moment
      st = dev.stats();
    }
    return Py_BuildValue("{s:K,s:K,s:K,s:n,s:n,s:n,s:n,s:n}", "sent", static_cast<unsigned long long>(st.sent),
                         "received", static_cast<unsigned long long>(st.received), "overruns",
                         static_cast<unsigned long long>(st.overruns), "high_water", static_cast<Py_ssize_t>(st.high_water),
                         "capacity", static_cast<Py_ssize_t>(st.capacity), "queued", static_cast<Py_ssize_t>(st.queued),
                         "transfers_in_flight", static_cast<Py_ssize_t>(st.transfers_in_flight),
                         "max_transfers_in_flight", static_cast<Py_ssize_t>(st.max_transfers_in_flight));
  });
}

PyObject* _use_messages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device&) -> PyObject* {
    PyObject* a[2];
    if (!parse_fastcall(USE_MESSAGES, args, nargs, kwnames, a)) return nullptr;
    auto* obj = reinterpret_cast<DeviceObject*>(self);
    if (obj->messages) return raise_error("The message class is set already", ErrorKind::InvalidParameter);
    auto layout = layout_of(a[0], a[1]);
    if (!layout) return nullptr;
    obj->messages = layout.release();
    return none();
  });
}

// --- for the plug-in: bit timing as asked, frames as python-can checks them, release ----------------

namespace {

// The adapter's clock and bit-timing limits, read anew.
struct TimingLimits {
  uint32_t clock_freq;
  uint32_t ctrlmode_supported;
  BitTimingConst limits;
};
Result<TimingLimits> read_timing_limits(const UsbTransport& t) {
  auto caps = get_capabilities(t);
  if (!caps) return std::move(caps).error();
  auto limits = get_bt_const(t);
  if (!limits) return std::move(limits).error();
  return TimingLimits{caps->clock_freq, caps->ctrlmode_supported, limits.value()};
}

// A timing as python-can's BitTiming names its fields; sample point in permille.
PyObject* timing_dict(const BitTiming& b) {
  return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k,s:k}", "bitrate", static_cast<unsigned long>(b.bitrate), "sample_point",
                       static_cast<unsigned long>(b.sample_point), "brp", static_cast<unsigned long>(b.brp), "tseg1",
                       static_cast<unsigned long>(b.prop_seg + b.phase_seg1), "tseg2",
                       static_cast<unsigned long>(b.phase_seg2), "sjw", static_cast<unsigned long>(b.sjw));
}


// The attributes of a python-can Message that make a classic frame, checked as Message's own
// check does (ValueError in its words); is_fd refused.
struct MessageFrame {
  uint32_t arb_id = 0;
  bool is_ext = false, is_rtr = false, is_err = false;
  uint8_t dlc = 0;
  FrameData data;
};

bool attr_true(PyObject* msg, const char* name, bool& out) {
  Ref v(PyObject_GetAttrString(msg, name));
  if (!v) return false;
  int t = PyObject_IsTrue(v.get());
  if (t < 0) return false;
  out = t != 0;
  return true;
}

bool attr_int(PyObject* msg, const char* name, long long& out) {
  Ref v(PyObject_GetAttrString(msg, name));
  if (!v) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) out = overflow < 0 ? -1 : std::numeric_limits<long long>::max();
  return true;
}

bool message_frame(PyObject* msg, MessageFrame& f) {
  bool is_fd;
  long long arb_id, dlc;
  if (!attr_true(msg, "is_fd", is_fd) || !attr_int(msg, "arbitration_id", arb_id) ||
      !attr_true(msg, "is_extended_id", f.is_ext) || !attr_true(msg, "is_remote_frame", f.is_rtr) ||
      !attr_true(msg, "is_error_frame", f.is_err) || !attr_int(msg, "dlc", dlc))
    return false;
  if (is_fd) {
    raise_error("CAN FD frames are not supported by this adapter", ErrorKind::InvalidParameter);
    return false;
  }
  // An error frame is what a controller sends when it sees an error; the peer would receive a
  // frame flagged as one, with this identifier and data.
  if (f.is_rtr && f.is_err)
    return PyErr_SetString(PyExc_ValueError, "a message cannot be a remote and an error frame at the same time"), false;
  if (f.is_err) return PyErr_SetString(PyExc_ValueError, "error frames cannot be sent: the controller makes them"), false;
  if (arb_id < 0) return PyErr_SetString(PyExc_ValueError, "arbitration IDs may not be negative"), false;
  if (f.is_ext && arb_id >= 0x20000000)
    return PyErr_SetString(PyExc_ValueError, "Extended arbitration IDs must be less than 2^29"), false;
  if (!f.is_ext && arb_id >= 0x800)
    return PyErr_SetString(PyExc_ValueError, "Normal arbitration IDs must be less than 2^11"), false;
  if (dlc < 0) return PyErr_SetString(PyExc_ValueError, "DLC may not be negative"), false;
  Ref data(PyObject_GetAttrString(msg, "data"));
  if (!data || !convert_arg("data", [&] { return to_data(data.get(), f.data); })) return false;
  const long long length = f.is_rtr ? dlc : std::max<long long>(dlc, static_cast<long long>(f.data.size));
  if (length > 8) {
    PyErr_Format(PyExc_ValueError, "DLC was %lld but it should be <= 8 for normal CAN frames", length);
    return false;
  }
  f.arb_id = static_cast<uint32_t>(arb_id);
  f.dlc = static_cast<uint8_t>(dlc);
  return true;
}

// A send time-out in seconds: None and infinity wait without limit (NEVER), a negative one not
// at all, NaN is refused.
bool to_send_timeout_ns(PyObject* o, uint64_t& out) {
  if (o != Py_None) {
    double s = PyFloat_AsDouble(o);
    if (s == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(s)) return PyErr_SetString(PyExc_ValueError, "the timeout may not be NaN"), false;
  }
  return to_timeout_ns(o, out);
}

}  // namespace

PyObject* _timing_limits(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    const BitTimingConst& c = l->limits;
    return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k,s:k,s:k,s:k,s:k}", "f_clock", static_cast<unsigned long>(l->clock_freq),
                         "tseg1_min", static_cast<unsigned long>(c.tseg1_min), "tseg1_max",
                         static_cast<unsigned long>(c.tseg1_max), "tseg2_min", static_cast<unsigned long>(c.tseg2_min),
                         "tseg2_max", static_cast<unsigned long>(c.tseg2_max), "sjw_max",
                         static_cast<unsigned long>(c.sjw_max), "brp_min", static_cast<unsigned long>(c.brp_min),
                         "brp_max", static_cast<unsigned long>(c.brp_max), "brp_inc",
                         static_cast<unsigned long>(c.brp_inc));
  });
}

PyObject* _calc_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[3];
    uint32_t bitrate, sample_point, tolerance_ppm;
    if (!parse_fastcall(CALC_BIT_TIMING, args, nargs, kwnames, a) || !arg_u32("bitrate", a[0], bitrate) ||
        !arg_u32("sample_point_ppm", a[1], sample_point) || !arg_u32("tolerance_ppm", a[2], tolerance_ppm))
      return nullptr;
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    if (auto refused = check_bitrate_supported(bitrate, l->ctrlmode_supported))
      return raise_error(*refused, ErrorKind::InvalidParameter);
    const TimingChoice c = choose_bit_timing(bitrate, sample_point, tolerance_ppm, l->clock_freq, l->limits);
    Ref found(c.timing ? timing_dict(*c.timing) : Py_NewRef(Py_None));
    if (!found) return nullptr;
    return Py_BuildValue("(Ok)", found.get(), static_cast<unsigned long>(c.nearest_bitrate));
  });
}

PyObject* _set_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[4];
    Segments seg;
    if (!parse_fastcall(SET_BIT_TIMING, args, nargs, kwnames, a) || !arg_u32("brp", a[0], seg.brp) ||
        !arg_u32("tseg1", a[1], seg.tseg1) || !arg_u32("tseg2", a[2], seg.tseg2) || !arg_u32("sjw", a[3], seg.sjw))
      return nullptr;
    auto l = read_timing_limits(dev.transport());
    if (!l) return raise_device_error("Failed bt_const: {}", l.error());
    auto timing = timing_from_segments(seg, l->clock_freq, l->limits);
    if (!timing) return raise_error(timing.error().text(), timing.error());
    if (auto s = set_bittiming(dev.transport(), *timing); !s) return raise_device_error("BT error: {}", s.error());
    dev.set_bitrate(timing->bitrate);
    // With the clock the timing was computed for, so that the caller need not ask for it again.
    Ref written(timing_dict(*timing));
    Ref clock(PyLong_FromUnsignedLong(l->clock_freq));
    if (!written || !clock || PyDict_SetItemString(written.get(), "f_clock", clock.get()) < 0) return nullptr;
    return written.release();
  });
}

PyObject* _send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[3];
    MessageFrame f;
    uint64_t timeout_ns;
    bool echo;
    if (!parse_fastcall(SEND_MESSAGE, args, nargs, kwnames, a) || !message_frame(a[0], f) ||
        !convert_arg("timeout", [&] { return to_send_timeout_ns(a[1], timeout_ns); }) || !arg_bool("echo", a[2], echo))
      return nullptr;
    const TxRecord record = TxFrame::to_bytes(f.arb_id, f.is_ext, f.is_rtr, f.is_err, f.dlc, f.data.bytes());
    const uint64_t deadline = platform::saturating_add(platform::monotonic_ns(), timeout_ns);
    Result<SendStep> step = SendStep::again;
    for (;;) {
      {
        ThreadStateRelease detached;
        step = dev.send_slice(record, deadline);
      }
      if (!step || step.value() != SendStep::again) break;
      // Between slices Ctrl-C can end the wait: nothing was written.
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    if (!step) return raise_device_error("Send failed: {}", step.error());
    if (step.value() == SendStep::closing)
      return raise_error("Send failed: the device is being released", ErrorKind::NotOpen);
    ReceivedFrame sent{0, f.arb_id, f.is_ext, f.is_rtr, f.is_err, f.dlc, {}};
    if (!f.is_rtr) sent.data.assign(f.data.head.begin(), f.data.head.begin() + std::min<size_t>(f.dlc, 8));
    dev.note_written(sent, echo);
    return none();
  });
}

PyObject* _drain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[1];
    uint64_t timeout_ns;
    if (!parse_fastcall(DRAIN, args, nargs, kwnames, a) ||
        !convert_arg("timeout", [&] { return to_timeout_ns(a[0], timeout_ns); }))
      return nullptr;
    uint64_t left;
    {
      ThreadStateRelease detached;
      left = dev.drain(timeout_ns);
    }
    return PyLong_FromUnsignedLongLong(left);
  });
}

PyObject* _push_error_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    PyObject* a[2];
    uint32_t arb_id;
    FrameData data;
    if (!parse_fastcall(PUSH_ERROR_FRAME, args, nargs, kwnames, a) || !arg_u32("arb_id", a[0], arb_id) ||
        !arg_data("data", a[1], data))
      return nullptr;
    dev.push_host_error(arb_id, data.bytes());
    return none();
  });
}

// See DeviceSlot::release: a call that still blocks after this long releases when it returns.
constexpr auto RELEASE_WAIT = std::chrono::seconds(2);
PyObject* _release(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    {
      ThreadStateRelease detached;
      reinterpret_cast<DeviceObject*>(self)->slot->release(RELEASE_WAIT);
    }
    return none();
  });
}

PyObject* _fileno(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* { return PyLong_FromLong(dev.ready_fd()); });
}

}  // namespace vorel::py
