// The one mapping of core failures to Python exceptions.
#pragma once

#include <string>
#include <string_view>

#include "device_error.h"
#include "py_util.h"

namespace vorel::py {

// `tmpl` with its first "{}" replaced by `value`.
std::string fill(std::string_view tmpl, std::string_view value);

// Every RuntimeError of the module: `message` as its only argument, and as the attributes `kind`
// the failure's variant name and `libusb_code` the code of a failed libusb call (None for any
// other failure), so that callers tell failures apart without reading the text. Returns nullptr.
PyObject* raise_error(const std::string& message, ErrorKind kind, int libusb_code = 0);
// The message of a failure of the core, with the kind and code of that failure.
PyObject* raise_error(const std::string& message, const DeviceError& cause);
// With the method's prefix template filled by the error's debug form.
PyObject* raise_device_error(std::string_view prefix_template, const DeviceError& error);

// Runs a C-API entry point body; a C++ exception (allocation failure) never reaches CPython. The
// one thing that passes is the interpreter ending this thread (ThreadStateRelease), which is why
// neither this nor the entry points are noexcept.
template <typename Fn>
PyObject* guarded(Fn&& fn) {
  try {
    return fn();
  } VOREL_PASS_THREAD_EXIT catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  } catch (...) {
    if (is_thread_exit()) throw;
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return nullptr;
  }
}

}  // namespace vorel::py
