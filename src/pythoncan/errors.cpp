// DeviceError to RuntimeError: the method's prefix with the error's debug form in its slot.
#include "errors.h"

namespace vorel::py {

std::string fill(std::string_view tmpl, std::string_view value) {
  std::string out(tmpl);
  if (auto at = out.find("{}"); at != std::string::npos) out.replace(at, 2, value);
  return out;
}

PyObject* raise_runtime(const std::string& message) {
  // Sized, not NUL-terminated: a name given by the caller may hold NUL characters.
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
  return nullptr;
}

PyObject* raise_device_error(std::string_view prefix_template, const DeviceError& error) {
  return raise_runtime(fill(prefix_template, error.debug()));
}

}  // namespace vorel::py
