// The NativeVorelDevice object: its members, their locks, and the methods of the class.
#pragma once

#include <memory>

#include "convert.h"
#include "device.h"
#include "errors.h"
#include "frame_objects.h"
#include "py_util.h"

namespace vorel::py {

// The Python object holds the core's Device, which owns the transport, pending frames, filters,
// receiver and periodic tasks with their locks (see the core's device.h). Methods lease it
// through the gate; there is no object-wide lock.

struct DeviceObject {
  PyObject_HEAD
  DeviceSlot* slot;  // owned, freed with the object
  // Set once by _use_messages before the object is shared between threads; read without a lock.
  MessageLayout* messages;
};

// The class, created once per process by the module's execution step.
PyTypeObject* device_type() noexcept;
// Makes `type` the class unless one was published first; true when it was taken.
bool publish_device_type(PyTypeObject* type) noexcept;

// One call's use of the object's device: inside the gate from construction to destruction.
class DeviceLease {
 public:
  explicit DeviceLease(PyObject* self) noexcept
      : slot_(reinterpret_cast<DeviceObject*>(self)->slot), inside_(slot_->gate.enter()) {}
  // The last call to leave after _release handed the release over performs it, detached (the
  // receiver's join and the drain of its reads need no interpreter; the periodic workers were
  // stopped already). Not noexcept: taking the thread state back may unwind the thread.
  ~DeviceLease() noexcept(false) {
    if (inside_ && slot_->gate.leave()) {
      ThreadStateRelease detached;
      slot_->finish_release();
    }
  }
  DeviceLease(const DeviceLease&) = delete;
  DeviceLease& operator=(const DeviceLease&) = delete;
  explicit operator bool() const noexcept { return inside_; }
  Device& operator*() const noexcept { return *slot_->device; }

 private:
  DeviceSlot* slot_;
  bool inside_;
};

// Argument lists of the methods, as their error messages name them.
#define VOREL_SIG(var, func, ...)                      \
  constexpr const char* var##_names[] = {__VA_ARGS__}; \
  constexpr Signature var{func, std::span(var##_names)}

inline PyObject* none() { Py_RETURN_NONE; }

// A core operation's outcome that yields nothing: None, or its failure raised with `prefix`.
inline PyObject* unit_or_raise(const Status& s, std::string_view prefix) {
  if (!s) return raise_device_error(prefix, s.error());
  return none();
}

// RuntimeError for a call on a released object; returns nullptr.
PyObject* raise_released();

// An instance method's body with the object's device leased: guarded(), and the released error
// when the object has been released.
template <typename Fn>
PyObject* on_device(PyObject* self, Fn&& fn) {
  return guarded([&]() -> PyObject* {
    DeviceLease lease(self);
    if (!lease) return raise_released();
    return fn(*lease);
  });
}

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
void device_dealloc(PyObject* self);  // may detach: not noexcept, see ThreadStateRelease
PyObject* list_devices(PyObject* module, PyObject* unused) noexcept;
PyObject* _probe_adapters(PyObject* module, PyObject* unused) noexcept;

PyObject* open_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_bitrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_bus_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_bus_state(PyObject* self, PyObject*);
PyObject* flush_tx_queue(PyObject* self, PyObject*);
PyObject* set_led_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_led_mode(PyObject* self, PyObject*);
PyObject* get_device_name(PyObject* self, PyObject*);
PyObject* set_device_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_device_capabilities(PyObject* self, PyObject*);
PyObject* get_device_info(PyObject* self, PyObject*);
PyObject* set_filters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* clear_filters(PyObject* self, PyObject*);
PyObject* send_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* receive_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stop_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* modify_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stop_all_periodic(PyObject* self, PyObject*);

// For the plug-in, beyond the specified surface.
PyObject* _start_receiver(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _stop_receiver(PyObject* self, PyObject*);
PyObject* _recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _interrupt(PyObject* self, PyObject*);
PyObject* _stats(PyObject* self, PyObject*);
PyObject* _fileno(PyObject* self, PyObject*);
PyObject* _use_messages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _timing_limits(PyObject* self, PyObject*);
PyObject* _calc_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _set_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _start_watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* _restart(PyObject* self, PyObject*);
PyObject* _watch_stats(PyObject* self, PyObject*);
PyObject* _release(PyObject* self, PyObject*);
PyObject* _shut_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorel::py
