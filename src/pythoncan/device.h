// The NativeVorelDevice object: its members, their locks, and the methods of the class.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "filters.h"
#include "frames.h"
#include "periodic.h"
#include "py_util.h"
#include "usb_transport.h"

namespace vorel::py {

// What one open adapter object owns, in this order. Methods borrow the object shared; there is
// no object-wide lock. Lock order: rx_lock before filter_lock; the registry mutex before a task's
// frame mutex; task_id_lock alone. None is held across a USB transfer or a join.
struct DeviceState {
  explicit DeviceState(std::shared_ptr<UsbTransport> t) : transport(std::move(t)) {}

  // Used without a lock: every transfer is one synchronous libusb call.
  std::shared_ptr<UsbTransport> transport;

  // Guards rx_buffer: frames of a read that passed the filters and were not yet returned.
  // Taken before filter_lock when frames are checked under it.
  std::mutex rx_lock;
  std::deque<ReceivedFrame> rx_buffer;

  // Guards filters (empty: accept everything). Innermost: nothing is taken while it is held.
  std::mutex filter_lock;
  std::vector<FrameFilter> filters;

  PeriodicRegistry registry;  // guarded by its own mutex, see periodic.h
  TaskIds next_task_id;       // guarded by its own mutex, taken alone

  bool frame_passes(const ReceivedFrame& f) {
    std::lock_guard lk(filter_lock);
    return passes(filters, f);
  }
};

struct DeviceObject {
  PyObject_HEAD
  DeviceState* state;
};

PyTypeObject* device_type() noexcept;  // created once per process by the module's execution step
void set_device_type(PyTypeObject* type) noexcept;
DeviceState& state_of(PyObject* self) noexcept;

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
void device_dealloc(PyObject* self) noexcept;
PyObject* list_devices(PyObject* module, PyObject* unused) noexcept;

#define VOREL_FASTCALL(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
#define VOREL_NOARGS(name) PyObject* name(PyObject* self, [[maybe_unused]] PyObject* unused) noexcept

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

}  // namespace vorel::py
