// Methods of NativeVorelDevice: opening, control requests, frames in and out, filters, the receiver,
// the bus watch and the release (bit timing and periodic tasks have files of their own).
#include "device_object.h"

#include <atomic>
#include <chrono>
#include <string>

#include "control.h"

namespace vorel::py {

namespace {

// Set once, by the first import that publishes it; read by any thread afterwards.
std::atomic<PyTypeObject*> g_device_type{nullptr};

VOREL_SIG(NEW, "NativeVorelDevice.__new__()", "serial");
VOREL_SIG(OPEN_BY_NAME, "NativeVorelDevice.open_by_name()", "name");
VOREL_SIG(SET_BUS_STATE, "NativeVorelDevice.set_bus_state()", "on");
VOREL_SIG(SET_MODE, "NativeVorelDevice.set_mode()", "ctrlmode");
VOREL_SIG(SET_LED_MODE, "NativeVorelDevice.set_led_mode()", "mode");
VOREL_SIG(SET_DEVICE_NAME, "NativeVorelDevice.set_device_name()", "name");
VOREL_SIG(SET_FILTERS, "NativeVorelDevice.set_filters()", "filters");
VOREL_SIG(SEND_FRAME, "NativeVorelDevice.send_frame()", "arb_id", "is_ext", "is_rtr", "is_err",
          "dlc", "data", "timeout_ms");
VOREL_SIG(RECEIVE_FRAME, "NativeVorelDevice.receive_frame()", "timeout_ms");
VOREL_SIG(START_RECEIVER, "NativeVorelDevice._start_receiver()", "capacity", "transfers");
VOREL_SIG(RECV, "NativeVorelDevice._recv()", "timeout", "ignore_errors");
VOREL_SIG(USE_MESSAGES, "NativeVorelDevice._use_messages()", "message_type", "channel");
VOREL_SIG(SEND, "NativeVorelDevice._send()", "msg", "timeout", "echo");
VOREL_SIG(SHUT_DOWN, "NativeVorelDevice._shut_down()", "drain_timeout");
VOREL_SIG(START_WATCH, "NativeVorelDevice._start_watch()", "period", "auto_reset");

// A new object owning `transport`; without an object the transport closes again.
PyObject* wrap(PyTypeObject* type, std::shared_ptr<UsbTransport> transport) {
  auto slot = std::make_unique<DeviceSlot>(std::make_unique<Device>(std::move(transport)));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<DeviceObject*>(self)->slot = slot.release();
  reinterpret_cast<DeviceObject*>(self)->messages = nullptr;
  return self;
}

// A control request with one argument, parsed by `sig` into a T and passed on as an Arg.
template <typename T, typename Arg>
PyObject* request_one(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Status (*request)(const UsbTransport&, Arg), std::string_view prefix) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    T value;
    if (!parse(sig, args, nargs, kwnames, into(value))) return nullptr;
    return unit_or_raise(request(dev.transport(), value), prefix);
  });
}

}  // namespace

PyTypeObject* device_type() noexcept { return g_device_type.load(std::memory_order_acquire); }
bool publish_device_type(PyTypeObject* type) noexcept {
  PyTypeObject* unset = nullptr;
  return g_device_type.compare_exchange_strong(unset, type, std::memory_order_acq_rel);
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
      if (!convert_arg("serial", [&] { return to_str(a[0], s); })) return nullptr;
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
    // Nobody else can reach the object now, so no call is inside the gate. The bus watch ends
    // within one control request, a running receiver within one read time-out.
    if (slot->device) {
      ThreadStateRelease detached;
      slot->device->watch().stop();
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
    std::string name;
    if (!parse(OPEN_BY_NAME, args, nargs, kwnames, into(name))) return nullptr;
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

PyObject* set_bus_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return request_one<bool>(self, SET_BUS_STATE, args, nargs, kwnames, vorel::set_bus_state, "Bus err: {}");
}

PyObject* set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return request_one<uint32_t>(self, SET_MODE, args, nargs, kwnames, vorel::set_mode, "Mode err: {}");
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
  return request_one<uint32_t>(self, SET_LED_MODE, args, nargs, kwnames, vorel::set_led_mode,
                               "Failed to set LED mode: {}");
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
  return request_one<std::string>(self, SET_DEVICE_NAME, args, nargs, kwnames, vorel::set_device_name,
                                  "Failed to set device name: {}");
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
    std::vector<FrameFilter> filters;
    if (!parse(SET_FILTERS, args, nargs, kwnames, with([&](PyObject* o) { return to_filters(o, filters); })))
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
    uint32_t arb_id;
    bool is_ext, is_rtr, is_err;
    uint8_t dlc;
    FrameData data;
    uint64_t timeout_ms;
    if (!parse(SEND_FRAME, args, nargs, kwnames, into(arb_id), into(is_ext), into(is_rtr), into(is_err), into(dlc),
               into(data), into(timeout_ms)))
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
    uint64_t timeout_ms;
    if (!parse(RECEIVE_FRAME, args, nargs, kwnames, into(timeout_ms))) return nullptr;
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

// --- for the plug-in: the receiver ----------------------------------------------------------------

PyObject* _start_receiver(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    uint64_t capacity, transfers;
    if (!parse(START_RECEIVER, args, nargs, kwnames, into(capacity), into(transfers))) return nullptr;
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

PyObject* _recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    Seconds timeout;
    bool ignore_errors;
    if (!parse(RECV, args, nargs, kwnames, into(timeout), into(ignore_errors))) return nullptr;
    const uint64_t timeout_ns = timeout.ns;
    const MessageLayout* messages = reinterpret_cast<DeviceObject*>(self)->messages;
    // Every wait runs in slices, with the signal handlers between them; one of this caller's own
    // reads (no receiver, whose waits a release wakes) also ends within a slice of the release.
    const uint64_t deadline = platform::saturating_add(platform::monotonic_ns(), timeout_ns);
    for (;;) {
      const uint64_t now = platform::monotonic_ns();
      Result<Received> got = Received{};
      {
        ThreadStateRelease detached;
        got = dev.receive(std::min(deadline > now ? deadline - now : 0, SIGNAL_SLICE_NS), 1, true);
      }
      if (!got) return raise_error("Receive err: " + got.error().display(), got.error());
      if (got->end == WaitEnd::stopped) return none();
      if (!got->entries.empty()) {
        const RxEntry& e = got->entries.front();
        if (ignore_errors && e.frame.is_err) continue;  // the next one, without waiting for it
        dev.note_handed_out();
        return messages ? message_of(*messages, e) : entry_tuple(e);
      }
      if (dev.closing() || platform::monotonic_ns() >= deadline) return none();
      if (PyErr_CheckSignals() < 0) return nullptr;  // KeyboardInterrupt: nothing taken
    }
  });
}

PyObject* _interrupt(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    dev.interrupt_waits();
    return none();
  });
}

namespace {

PyObject* stats_dict(const RxStats& st) {
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:n,s:n,s:n,s:n,s:n}", "sent", static_cast<unsigned long long>(st.sent),
                       "handed_out", static_cast<unsigned long long>(st.handed_out),
                       "received", static_cast<unsigned long long>(st.received), "overruns",
                       static_cast<unsigned long long>(st.overruns), "high_water", static_cast<Py_ssize_t>(st.high_water),
                       "capacity", static_cast<Py_ssize_t>(st.capacity), "queued", static_cast<Py_ssize_t>(st.queued),
                       "transfers_in_flight", static_cast<Py_ssize_t>(st.transfers_in_flight),
                       "max_transfers_in_flight", static_cast<Py_ssize_t>(st.max_transfers_in_flight));
}

}  // namespace

PyObject* _stats(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    RxStats st;
    {
      ThreadStateRelease detached;  // a stop of the receiver under way holds its lock a moment
      st = dev.stats();
    }
    return stats_dict(st);
  });
}

PyObject* _use_messages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device&) -> PyObject* {
    PyObject *message_type, *channel;
    if (!parse(USE_MESSAGES, args, nargs, kwnames, into(message_type), into(channel))) return nullptr;
    auto* obj = reinterpret_cast<DeviceObject*>(self);
    if (obj->messages) return raise_error("The message class is set already", ErrorKind::InvalidParameter);
    auto layout = layout_of(message_type, channel);
    if (!layout) return nullptr;
    obj->messages = layout.release();
    return none();
  });
}

// --- for the plug-in: frames as python-can checks them, the bus watch, release ------------------------

PyObject* _send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    MessageFrame f;
    SendSeconds timeout;
    bool echo;
    if (!parse(SEND, args, nargs, kwnames, with([&](PyObject* o) { return message_frame(o, f); }), into(timeout),
               into(echo)))
      return nullptr;
    const TxRecord record = TxFrame::to_bytes(f.arb_id, f.is_ext, f.is_rtr, f.is_err, f.dlc, f.data.bytes());
    const uint64_t deadline = platform::saturating_add(platform::monotonic_ns(), timeout.ns);
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
    // The echo's data as the record carries it: dlc bytes, zero beyond what was given.
    dev.note_written(f.arb_id, f.is_ext, f.is_rtr, f.dlc,
                     std::span(f.data.head).first(f.is_rtr ? 0 : std::min<size_t>(f.dlc, 8)), echo);
    return none();
  });
}

PyObject* _start_watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    Seconds period;
    bool auto_reset;
    if (!parse(START_WATCH, args, nargs, kwnames, into(period), into(auto_reset))) return nullptr;
    return unit_or_raise(dev.watch().start(period.ns, auto_reset), "Watch err: {}");
  });
}

PyObject* _restart(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    Status done = ok_status();
    {
      ThreadStateRelease detached;
      done = dev.watch().restart();
    }
    return unit_or_raise(done, "Bus err: {}");
  });
}

PyObject* _watch_stats(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    const WatchStats st = dev.watch().stats();
    return Py_BuildValue("{s:K,s:K}", "bus_off_recoveries", static_cast<unsigned long long>(st.recoveries),
                         "failed_restarts", static_cast<unsigned long long>(st.failed_restarts));
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

PyObject* _shut_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Seconds drain;
    if (!parse(SHUT_DOWN, args, nargs, kwnames, into(drain))) return nullptr;
    ShutDown done;
    {
      ThreadStateRelease detached;
      done = reinterpret_cast<DeviceObject*>(self)->slot->shut_down(drain.ns, RELEASE_WAIT);
    }
    Ref stats(stats_dict(done.stats));
    if (!stats) return nullptr;
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(done.left), stats.get());
  });
}

PyObject* _fileno(PyObject* self, PyObject*) {
  return on_device(self, [&](Device& dev) -> PyObject* { return PyLong_FromLong(dev.ready_fd()); });
}

}  // namespace vorel::py
