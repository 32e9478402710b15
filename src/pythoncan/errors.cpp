// Core failures to RuntimeError: the method's prefix with the error's debug form in its slot, and
// the failure's kind and libusb code as attributes.
#include "errors.h"

namespace vorel::py {

std::string fill(std::string_view tmpl, std::string_view value) {
  std::string out(tmpl);
  if (auto at = out.find("{}"); at != std::string::npos) out.replace(at, 2, value);
  return out;
}

PyObject* raise_error(const std::string& message, ErrorKind kind, int libusb_code) {
  // Sized, not NUL-terminated: a name given by the caller may hold NUL characters.
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  Ref exc(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
  if (!exc) return nullptr;
  const std::string_view name = variant_name(kind);
  Ref kind_text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  Ref code(libusb_code != 0 ? PyLong_FromLong(libusb_code) : Py_NewRef(Py_None));
  if (!kind_text || !code || PyObject_SetAttrString(exc.get(), "kind", kind_text.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "libusb_code", code.get()) < 0)
    return nullptr;
  PyErr_SetObject(PyExc_RuntimeError, exc.get());
  return nullptr;
}

PyObject* raise_error(const std::string& message, const DeviceError& cause) {
  return raise_error(message, cause.kind(), cause.libusb_code());
}

PyObject* raise_device_error(std::string_view prefix_template, const DeviceError& error) {
  return raise_error(fill(prefix_template, error.debug()), error);
}

}  // namespace vorel::py
