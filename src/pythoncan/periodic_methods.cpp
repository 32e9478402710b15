// Methods of NativeVorelDevice for periodic tasks: start, modify and stop native send workers.
#include "device_object.h"

#include <string>

namespace vorel::py {

namespace {

VOREL_SIG(START_PERIODIC, "NativeVorelDevice.start_periodic()", "frames", "period_us",
          "duration_ms");
VOREL_SIG(STOP_PERIODIC, "NativeVorelDevice.stop_periodic()", "task_id");
VOREL_SIG(MODIFY_PERIODIC, "NativeVorelDevice.modify_periodic()", "task_id", "frames");

// start_periodic and the plug-in's _start_periodic: the same arguments, a worker that catches up
// every missed deadline, or one that resumes from now after a long stall.
PyObject* start_worker(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool resume) {
  return on_device(self, [&](Device& dev) -> PyObject* {
    std::vector<TxRecord> records;
    uint64_t period_us;
    std::optional<uint64_t> duration_ms;
    if (!parse(START_PERIODIC, args, nargs, kwnames, with([&](PyObject* o) { return to_tx_records(o, records); }),
               into(period_us), into(duration_ms)))
      return nullptr;
    auto id = dev.start_periodic(std::move(records), period_us, duration_ms, resume);
    if (!id) return raise_error(id.error().text(), id.error());
    return PyLong_FromUnsignedLong(id.value());
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
    uint32_t id;
    if (!parse(STOP_PERIODIC, args, nargs, kwnames, into(id))) return nullptr;
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
    uint32_t id;
    std::vector<TxRecord> records;
    if (!parse(MODIFY_PERIODIC, args, nargs, kwnames, into(id),
             with([&](PyObject* o) { return to_tx_records(o, records); })))
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

}  // namespace vorel::py
