"""The module's and the class's visible surface: names, signatures, docstrings, type properties."""

from __future__ import annotations

import subprocess
import sys
import sysconfig
import weakref

import pytest

import vorel_pythoncan_ext as vorel
from vorel_pythoncan_ext import NativeVorelDevice

METHODS = [
    ("open_by_name", "(name)", "Open a device by its user-friendly short name"),
    ("set_bitrate", "($self, bitrate, sample_point)", "Set CAN bitrate with sample point (in permille, e.g. 875 = 87.5%)"),
    ("set_bus_state", "($self, on)", "Set bus on/off state"),
    ("set_mode", "($self, ctrlmode)", "Set CAN controller mode flags (loopback, listen-only, etc.)"),
    (
        "get_bus_state",
        "($self)",
        "Get current bus state: returns (state, rx_error_count, tx_error_count)\n\n"
        "State values: 0=ErrorActive, 1=ErrorWarning, 2=ErrorPassive, 3=BusOff, 4=Stopped, 5=Sleeping",
    ),
    ("flush_tx_queue", "($self)", "Flush the TX queue for channel 0"),
    ("set_led_mode", "($self, mode)", "Set LED mode natively\n0 = Off, 1 = On, 2 = ActiveOnly, 3 = TxOff, 4 = RxOff"),
    ("get_led_mode", "($self)", "Get current LED mode numeric state"),
    ("get_device_name", "($self)", "Get device name"),
    ("set_device_name", "($self, name)", "Set device name"),
    ("get_device_capabilities", "($self)", "Get raw device capabilities map"),
    ("get_device_info", "($self)", "Get device info: returns (hw_version, fw_version, channel_count)"),
    (
        "set_filters",
        "($self, filters)",
        "Set CAN message filters (called from Python's _apply_filters)\n\n"
        "Each filter is a tuple: (can_id, can_mask, extended)\n"
        "A message passes if: (msg_id & can_mask) == (can_id & can_mask)",
    ),
    ("clear_filters", "($self)", "Clear all filters (accept all messages)"),
    (
        "send_frame",
        "($self, arb_id, is_ext, is_rtr, is_err, dlc, data, timeout_ms)",
        "`send_frame(arb_id, is_ext, is_rtr, is_err, dlc, data_bytes, timeout_ms)`\n\n"
        "Send a CAN frame. Uses safe TxFrame::to_bytes() serialization.\n"
        "Releases the GIL during USB write so recv can proceed on another thread.",
    ),
    (
        "receive_frame",
        "($self, timeout_ms)",
        "`receive_frame(timeout_ms)` -> `Optional[Tuple[ts_us, arb_id, is_ext, is_rtr, is_err, dlc, data]]`\n\n"
        "Handles multi-frame USB reads: parses all RxFrames from a single bulk read,\n"
        "returns the first one and buffers the rest for subsequent calls.",
    ),
    ("start_periodic", "($self, frames, period_us, duration_ms)", None),
    ("stop_periodic", "($self, task_id)", "Stop a periodic send task by task_id"),
    (
        "modify_periodic",
        "($self, task_id, frames)",
        "Update the frame data for a running periodic task (hot-swap, no timing disruption)",
    ),
    ("stop_all_periodic", "($self)", "Stop all periodic tasks (called during shutdown)"),
]


def test_module_publishes_exactly_two_names():
    assert vorel.__all__ == ["NativeVorelDevice", "list_devices"]
    public = [n for n in dir(vorel) if not n.startswith("_")]
    assert sorted(public) == ["NativeVorelDevice", "list_devices"]
    assert vorel.__doc__ == "VOREL Native Python-CAN API"


def test_list_devices_function():
    f = vorel.list_devices
    assert f.__self__ is vorel
    assert f.__module__ == "vorel_pythoncan_ext"
    assert f.__text_signature__ == "()"
    assert f.__doc__ == "Enumerate available VOREL devices, returns list of serial numbers"
    with pytest.raises(TypeError):
        f(1)


def test_class_properties():
    assert NativeVorelDevice.__module__ == "builtins"
    assert NativeVorelDevice.__name__ == NativeVorelDevice.__qualname__ == "NativeVorelDevice"
    assert NativeVorelDevice.__text_signature__ == "(serial)"
    assert NativeVorelDevice.__doc__ == "Native VOREL Device Handle for Python-CAN"
    assert NativeVorelDevice.__bases__ == (object,)
    with pytest.raises(TypeError):

        class Sub(NativeVorelDevice):  # noqa: F841
            pass


def test_methods_in_order_with_signatures_and_docstrings():
    # The plug-in's own methods (underscore names) come after the specified ones.
    names = [n for n in NativeVorelDevice.__dict__ if not n.startswith("_")]
    assert names == [m[0] for m in METHODS]
    assert [n for n in NativeVorelDevice.__dict__ if n.startswith("_") and not n.startswith("__")] == [
        "_start_periodic", "_start_receiver", "_stop_receiver", "_recv", "_interrupt", "_stats", "_fileno", "_use_messages",
        "_timing_limits", "_calc_bit_timing", "_set_bit_timing", "_send", "_start_watch", "_restart", "_watch_stats", "_release", "_shut_down"]
    assert len(names) == 20
    for name, sig, doc in METHODS:
        m = getattr(NativeVorelDevice, name)
        assert m.__text_signature__ == sig, name
        if doc is not None:
            assert m.__doc__ == doc, name
    assert isinstance(NativeVorelDevice.__dict__["open_by_name"], staticmethod)
    start_doc = NativeVorelDevice.start_periodic.__doc__
    first, rest = start_doc.split("\n\n", 1)
    assert "thread" in first and "\n" not in first
    assert rest == (
        "Returns a task_id that can be used to stop or modify the task.\n"
        "Each frame is a tuple: (arb_id, is_ext, is_rtr, is_err, dlc, data)"
    )


def test_instances_have_no_dict_or_weakrefs(dev):
    with pytest.raises(AttributeError):
        dev.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(dev)
    assert not hasattr(dev, "__dict__")


def test_unbound_call_with_a_foreign_self():
    with pytest.raises(TypeError):
        NativeVorelDevice.get_led_mode(5)


def test_import_leaves_the_gil_as_the_build_has_it():
    """Free-threaded builds stay without the GIL after the import; GIL builds keep theirs."""
    code = ("import sys, vorel_pythoncan_ext, can_vorel; "
            "print(getattr(sys, '_is_gil_enabled', lambda: True)())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert out.stdout.strip() == str(not free_threaded)
    assert out.stderr == ""


FIRST_IMPORTS = """
import importlib.util, sys, threading
spec = importlib.util.find_spec("vorel_pythoncan_ext")
barrier = threading.Barrier(8)
classes = []
def load():
    module = importlib.util.module_from_spec(spec)
    barrier.wait()
    spec.loader.exec_module(module)
    classes.append(module.NativeVorelDevice)
threads = [threading.Thread(target=load) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
import vorel_pythoncan_ext
assert len(classes) == 8 and all(c is vorel_pythoncan_ext.NativeVorelDevice for c in classes), classes
print("one class")
"""


def test_first_imports_in_many_threads_at_once_make_one_class():
    """Eight module objects executed at once in a fresh process: the class is made once and shared."""
    for _ in range(5):
        out = subprocess.run([sys.executable, "-c", FIRST_IMPORTS], capture_output=True, text=True, timeout=60)
        assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "one class", "")


# Subinterpreters of both kinds refuse the module before the main interpreter has imported it,
# and the main interpreter imports it afterwards as if nothing had happened.
SUBINTERPRETERS = """
import os, sys, tempfile
out = os.path.join(tempfile.mkdtemp(), "out")
probe = ("try:\\n    import vorel_pythoncan_ext\\n    r = 'imported'\\n"
         "except ImportError as e:\\n    r = str(e)\\nopen(%r, 'a').write(r + '\\\\n')\\n" % out)
import _testcapi
_testcapi.run_in_subinterp(probe)  # legacy: the main interpreter's GIL, no extension checks
try:
    import _interpreters as interpreters  # 3.13 on; isolated by default
except ImportError:
    import _xxsubinterpreters as interpreters
try:
    interp = interpreters.create(isolated=True)
except TypeError:
    interp = interpreters.create()
interpreters.run_string(interp, probe)
interpreters.destroy(interp)
import vorel_pythoncan_ext
print(open(out).read() + vorel_pythoncan_ext.NativeVorelDevice.__name__, type(vorel_pythoncan_ext.list_devices()).__name__)
"""


def test_subinterpreters_are_refused_and_the_main_interpreter_imports_after():
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETERS], capture_output=True, text=True, timeout=60)
    refused = "module vorel_pythoncan_ext does not support loading in subinterpreters"
    assert (out.returncode, out.stdout.splitlines(), out.stderr) == (0, [refused, refused, "NativeVorelDevice list"], ""), out.stderr
