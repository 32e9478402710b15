// Module vorel_pythoncan_ext: the class's type spec, its method table with docstrings, and the
// module's multi-phase initialisation (declared free of the GIL).
#include "device_object.h"
#include "py_util.h"

namespace vorel::py {

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

template <typename F>
PyCFunction cfunc(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Stored docstrings: text signature, "--", an empty line, then the text.
PyMethodDef device_methods[] = {
    {"open_by_name", cfunc(open_by_name), FAST | METH_STATIC,
     "open_by_name(name)\n--\n\nOpen a device by its user-friendly short name"},
    {"set_bitrate", cfunc(set_bitrate), FAST,
     "set_bitrate($self, bitrate, sample_point)\n--\n\n"
     "Set CAN bitrate with sample point (in permille, e.g. 875 = 87.5%)"},
    {"set_bus_state", cfunc(set_bus_state), FAST,
     "set_bus_state($self, on)\n--\n\nSet bus on/off state"},
    {"set_mode", cfunc(set_mode), FAST,
     "set_mode($self, ctrlmode)\n--\n\nSet CAN controller mode flags (loopback, listen-only, etc.)"},
    {"get_bus_state", cfunc(get_bus_state), METH_NOARGS,
     "get_bus_state($self)\n--\n\n"
     "Get current bus state: returns (state, rx_error_count, tx_error_count)\n\n"
     "State values: 0=ErrorActive, 1=ErrorWarning, 2=ErrorPassive, 3=BusOff, 4=Stopped, 5=Sleeping"},
    {"flush_tx_queue", cfunc(flush_tx_queue), METH_NOARGS,
     "flush_tx_queue($self)\n--\n\nFlush the TX queue for channel 0"},
    {"set_led_mode", cfunc(set_led_mode), FAST,
     "set_led_mode($self, mode)\n--\n\n"
     "Set LED mode natively\n0 = Off, 1 = On, 2 = ActiveOnly, 3 = TxOff, 4 = RxOff"},
    {"get_led_mode", cfunc(get_led_mode), METH_NOARGS,
     "get_led_mode($self)\n--\n\nGet current LED mode numeric state"},
    {"get_device_name", cfunc(get_device_name), METH_NOARGS,
     "get_device_name($self)\n--\n\nGet device name"},
    {"set_device_name", cfunc(set_device_name), FAST,
     "set_device_name($self, name)\n--\n\nSet device name"},
    {"get_device_capabilities", cfunc(get_device_capabilities), METH_NOARGS,
     "get_device_capabilities($self)\n--\n\nGet raw device capabilities map"},
    {"get_device_info", cfunc(get_device_info), METH_NOARGS,
     "get_device_info($self)\n--\n\nGet device info: returns (hw_version, fw_version, channel_count)"},
    {"set_filters", cfunc(set_filters), FAST,
     "set_filters($self, filters)\n--\n\n"
     "Set CAN message filters (called from Python's _apply_filters)\n\n"
     "Each filter is a tuple: (can_id, can_mask, extended)\n"
     "A message passes if: (msg_id & can_mask) == (can_id & can_mask)"},
    {"clear_filters", cfunc(clear_filters), METH_NOARGS,
     "clear_filters($self)\n--\n\nClear all filters (accept all messages)"},
    {"send_frame", cfunc(send_frame), FAST,
     "send_frame($self, arb_id, is_ext, is_rtr, is_err, dlc, data, timeout_ms)\n--\n\n"
     "`send_frame(arb_id, is_ext, is_rtr, is_err, dlc, data_bytes, timeout_ms)`\n\n"
     "Send a CAN frame. Uses safe TxFrame::to_bytes() serialization.\n"
     "Releases the GIL during USB write so recv can proceed on another thread."},
    {"receive_frame", cfunc(receive_frame), FAST,
     "receive_frame($self, timeout_ms)\n--\n\n"
     "`receive_frame(timeout_ms)` -> `Optional[Tuple[ts_us, arb_id, is_ext, is_rtr, is_err, dlc, data]]`\n\n"
     "Handles multi-frame USB reads: parses all RxFrames from a single bulk read,\n"
     "returns the first one and buffers the rest for subsequent calls."},
    {"start_periodic", cfunc(start_periodic), FAST,
     "start_periodic($self, frames, period_us, duration_ms)\n--\n\n"
     "Start a periodic send task that runs on a dedicated OS thread.\n\n"
     "Returns a task_id that can be used to stop or modify the task.\n"
     "Each frame is a tuple: (arb_id, is_ext, is_rtr, is_err, dlc, data)"},
    {"stop_periodic", cfunc(stop_periodic), FAST,
     "stop_periodic($self, task_id)\n--\n\nStop a periodic send task by task_id"},
    {"modify_periodic", cfunc(modify_periodic), FAST,
     "modify_periodic($self, task_id, frames)\n--\n\n"
     "Update the frame data for a running periodic task (hot-swap, no timing disruption)"},
    {"stop_all_periodic", cfunc(stop_all_periodic), METH_NOARGS,
     "stop_all_periodic($self)\n--\n\nStop all periodic tasks (called during shutdown)"},
    // For the plug-in, beyond the specified surface: the receiver thread and its buffer.
    {"_start_periodic", cfunc(_start_periodic), FAST,
     "_start_periodic($self, frames, period_us, duration_ms)\n--\n\n"
     "start_periodic, but after a stall of more than a few periods the task goes on from now\n"
     "instead of sending every missed frame back to back."},
    {"_start_receiver", cfunc(_start_receiver), FAST,
     "_start_receiver($self, capacity, transfers)\n--\n\nStart the receiver: `transfers` reads in flight, a buffer of `capacity` frames."},
    {"_stop_receiver", cfunc(_stop_receiver), METH_NOARGS, "_stop_receiver($self)\n--\n\nStop the receiver thread."},
    {"_recv", cfunc(_recv), FAST,
     "_recv($self, timeout, ignore_errors)\n--\n\nThe next frame, waiting up to timeout s (None: no limit); None when\n"
     "none came or the bus is closing. With ignore_errors, error frames are dropped."},
    {"_interrupt", cfunc(_interrupt), METH_NOARGS,
     "_interrupt($self)\n--\n\nEnd every wait for a frame, now and later."},
    {"_stats", cfunc(_stats), METH_NOARGS, "_stats($self)\n--\n\nFrames sent and the receiver's counters."},
    {"_fileno", cfunc(_fileno), METH_NOARGS,
     "_fileno($self)\n--\n\nA descriptor readable while frames are pending, or -1."},
    {"_use_messages", cfunc(_use_messages), FAST,
     "_use_messages($self, message_type, channel)\n--\n\n_recv hands out frames as instances of message_type."},
    // For the plug-in: bit timing as given, python-can's messages sent, host frames, release.
    {"_timing_limits", cfunc(_timing_limits), METH_NOARGS,
     "_timing_limits($self)\n--\n\nThe adapter's clock (f_clock) and bit-timing limits, by python-can's names."},
    {"_calc_bit_timing", cfunc(_calc_bit_timing), FAST,
     "_calc_bit_timing($self, bitrate, sample_point_ppm, tolerance_ppm)\n--\n\n"
     "(timing or None, nearest reachable bit rate): a timing within tolerance_ppm of bitrate,\n"
     "its sample point nearest sample_point_ppm (millionths of the bit)."},
    {"_set_bit_timing", cfunc(_set_bit_timing), FAST,
     "_set_bit_timing($self, brp, tseg1, tseg2, sjw)\n--\n\nWrite these segments, verified; returns the timing and f_clock."},
    {"_send", cfunc(_send), FAST,
     "_send($self, msg, timeout, echo)\n--\n\nSend a python-can Message, checked as python-can checks it."},
    {"_start_watch", cfunc(_start_watch), FAST,
     "_start_watch($self, period, auto_reset)\n--\n\nRead the controller's state every period s: each bus-off\n"
     "announced once by an error frame, and with auto_reset ended by a restart."},
    {"_restart", cfunc(_restart), METH_NOARGS,
     "_restart($self)\n--\n\nSwitch the controller off and on, counted and announced by an error frame."},
    {"_watch_stats", cfunc(_watch_stats), METH_NOARGS,
     "_watch_stats($self)\n--\n\nRestarts done (bus_off_recoveries) and automatic ones that failed."},
    {"_release", cfunc(_release), METH_NOARGS,
     "_release($self)\n--\n\nStop every task, close the adapter; later calls raise RuntimeError."},
    {"_shut_down", cfunc(_shut_down), FAST,
     "_shut_down($self, drain_timeout)\n--\n\n_release, after giving the frames sent up to drain_timeout s to leave\n"
     "and switching the bus off: (frames that may not have left, the counters as _stats then)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot device_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeVorelDevice(serial)\n--\n\nNative VOREL Device Handle for Python-CAN")},
    {Py_tp_new, reinterpret_cast<void*>(device_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(device_dealloc)},
    {Py_tp_methods, device_methods},
    {0, nullptr},
};

// The "builtins." prefix makes __module__ report "builtins". No Py_TPFLAGS_BASETYPE: the class
// cannot be subclassed. No dict or weak-reference slots.
PyType_Spec device_spec = {
    "builtins.NativeVorelDevice",
    sizeof(DeviceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    device_slots,
};

PyMethodDef list_devices_def = {
    "list_devices", list_devices, METH_NOARGS,
    "list_devices()\n--\n\nEnumerate available VOREL devices, returns list of serial numbers"};
// For the plug-in, beyond the specified surface (not in __all__).
PyMethodDef probe_adapters_def = {
    "_probe_adapters", _probe_adapters, METH_NOARGS,
    "_probe_adapters()\n--\n\nEvery device with the adapter's ids: serial (or None), bus, address, and what\n"
    "opening (open) and claiming (claim) it answered, as libusb codes; nothing is sent to it."};

// The class is created once per process, on the first import, and kept for its life. No lock is
// held across PyType_FromSpec: it may switch threads or collect garbage, and a C++ mutex held
// with the thread state attached could deadlock against a thread waiting for the interpreter.
// Two first imports at once may both create a class; the first one published wins and the
// other is dropped before anyone saw it.
PyObject* device_class() {
  if (PyTypeObject* made = device_type()) return Py_NewRef(reinterpret_cast<PyObject*>(made));
  Ref type(PyType_FromSpec(&device_spec));
  if (!type) return nullptr;
  if (publish_device_type(reinterpret_cast<PyTypeObject*>(type.get()))) type.release();  // the process keeps it
  return Py_NewRef(reinterpret_cast<PyObject*>(device_type()));
}

// Appends `name` to the module's __all__, creating the list if it is missing.
int add_to_all(PyObject* module, const char* name) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return -1;
  }
  Ref text(PyUnicode_FromString(name));
  return text ? PyList_Append(all.get(), text.get()) : -1;
}

// Publishes `value` as the module attribute `name` and lists it in __all__.
int add_public(PyObject* module, const char* name, PyObject* value) {
  return add_to_all(module, name) < 0 ? -1 : PyModule_AddObjectRef(module, name, value);
}

int module_exec(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  // The class is one per process, made by and belonging to the main interpreter: a subinterpreter,
  // isolated or legacy, may neither make it nor share it. Refused before anything is made.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module vorel_pythoncan_ext does not support loading in subinterpreters");
    return -1;
  }
  Ref cls(device_class());
  if (!cls || add_public(module, "NativeVorelDevice", cls.get()) < 0) return -1;

  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref fn(PyCMethod_New(&list_devices_def, module, module_name.get(), nullptr));
  if (!fn) return -1;
  Ref fn_name(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!fn_name) return -1;
  const char* name = PyUnicode_Check(fn_name.get()) ? PyUnicode_AsUTF8(fn_name.get()) : nullptr;
  if (!name) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "__name__ must be a string");
    return -1;
  }
  if (add_public(module, name, fn.get()) < 0) return -1;
  Ref probe(PyCMethod_New(&probe_adapters_def, module, module_name.get(), nullptr));
  return probe ? PyModule_AddObjectRef(module, "_probe_adapters", probe.get()) : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    VOREL_MOD_GIL_SLOT
    VOREL_MOD_INTERPRETERS_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorel_pythoncan_ext",
    "VOREL Native Python-CAN API",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorel::py

PyMODINIT_FUNC PyInit_vorel_pythoncan_ext(void) { return PyModuleDef_Init(&vorel::py::module_def); }
