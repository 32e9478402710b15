// The NativeVorelDevice object: its members, their locks, and the methods of the class.
#pragma once

#include <memory>

#include "core/device.h"  // the core's, not this file
#include "errors.h"
#include "py_util.h"
#include "release_gate.h"

namespace vorel::py {

// The Python object holds the core's Device, which owns the transport, pending frames, filters,
// receiver and periodic tasks with their locks (see device.h of the core). Methods lease it
// through the gate; there is no object-wide lock.
// How the plug-in's message class lays out its slots, so that received frames are built as its
// instances directly (what the class's __init__ would set, without running it).
struct MessageLayout {
  enum Field { timestamp, arbitration_id, is_extended_id, is_remote_frame, is_error_frame, channel, is_fd, is_rx,
               bitrate_switch, error_state_indicator, data, dlc, kFields };
  PyTypeObject* type = nullptr;  // strong references, released with the object
  PyObject* bus_channel = nullptr;  // every message's channel
  Py_ssize_t offset[kFields] = {};
};

// The device and the gate every call passes: the device lives until the object is released (by
// _release, which waits for the calls inside, or at deallocation).
struct DeviceSlot {
  explicit DeviceSlot(std::unique_ptr<Device> d) : device(std::move(d)) {}
  ReleaseGate gate;
  std::unique_ptr<Device> device;  // set until the release; read by callers inside the gate
};

struct DeviceObject {
  PyObject_HEAD
  DeviceSlot* slot;  // owned, freed with the object
  // Set once by _use_messages before the object is shared between threads; read without a lock.
  MessageLayout* messages;
};

PyTypeObject* device_type() noexcept;  // created once per process by the module's execution step
void set_device_type(PyTypeObject* type) noexcept;

// One call's use of the object's device: inside the gate from construction to destruction.
class DeviceLease {
 public:
  explicit DeviceLease(PyObject* self) noexcept
      : slot_(reinterpret_cast<DeviceObject*>(self)->slot), inside_(slot_->gate.enter()) {}
  ~DeviceLease() {
    if (inside_) slot_->gate.leave();
  }
  DeviceLease(const DeviceLease&) = delete;
  DeviceLease& operator=(const DeviceLease&) = delete;
  explicit operator bool() const noexcept { return inside_; }
  Device& operator*() const noexcept { return *slot_->device; }

 private:
  DeviceSlot* slot_;
  bool inside_;
};

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

#define VOREL_FASTCALL(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
#define VOREL_NOARGS(name) PyObject* name(PyObject* self, [[maybe_unused]] PyObject* unused)

VOREL_FASTCALL(open_by_name);
VOREL_FASTCALL(set_bitrate);
VOREL_FASTCALL(set_bus_state);
VOREL_FASTCALL(set_mode);
VOREL_NOARGS(get_bus_state);
VOREL_NOARGS(flush_tx_queue);
VOREL_FASTCALL(set_led_mode);
VOREL_NOARGS(get_led_mode);
VOREL_NOARGS(get_device_name);
VOREL_FASTCALL(set_device_name);
VOREL_NOARGS(get_device_capabilities);
VOREL_NOARGS(get_device_info);
VOREL_FASTCALL(set_filters);
VOREL_NOARGS(clear_filters);
VOREL_FASTCALL(send_frame);
VOREL_FASTCALL(receive_frame);
VOREL_FASTCALL(start_periodic);
VOREL_FASTCALL(stop_periodic);
VOREL_FASTCALL(modify_periodic);
VOREL_NOARGS(stop_all_periodic);

// For the plug-in, beyond the specified surface.
VOREL_FASTCALL(start_receiver);
VOREL_NOARGS(stop_receiver);
VOREL_FASTCALL(receive_batch);
VOREL_NOARGS(interrupt_receive);
VOREL_NOARGS(rx_stats);
VOREL_NOARGS(rx_fileno);
VOREL_FASTCALL(use_messages);
VOREL_NOARGS(timing_limits);
VOREL_FASTCALL(calc_bit_timing);
VOREL_FASTCALL(set_bit_timing);
VOREL_FASTCALL(send_message);
VOREL_NOARGS(drain);
VOREL_FASTCALL(push_error_frame);
VOREL_NOARGS(release);

}  // namespace vorel::py
