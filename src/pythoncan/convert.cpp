// Argument parsing with the interpreter's wording, and the conversion rules of every method.
#include "convert.h"

#include <algorithm>
#include <string>
#include <utility>

namespace vorel::py {

namespace {

const char* const OUT_OF_RANGE = "out of range integral type conversion attempted";

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Shared core of both calling conventions: positional values, then (name, value) keyword pairs.
template <typename Keywords>
bool parse_core(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, Keywords&& keywords,
                PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(sig.names.size());
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
  if (npos > n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.func,
                 n, npos, npos == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = pos[i];
  bool ok = keywords([&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.func);
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.names[static_cast<size_t>(i)]) != 0) continue;
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.func,
                     sig.names[static_cast<size_t>(i)]);
        return false;
      }
      out[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.func, key);
    return false;
  });
  if (!ok) return false;
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!out[i]) missing.push_back(sig.names[static_cast<size_t>(i)]);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.func,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments",
                 name_list(missing).c_str());
    return false;
  }
  return true;
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  return parse_core(sig, args, nargs,
                    [&](auto&& add) {
                      Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
                      for (Py_ssize_t i = 0; i < nkw; ++i)
                        if (!add(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
                      return true;
                    },
                    out);
}

bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  return parse_core(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                    [&](auto&& add) {
                      if (!kwargs) return true;
                      Py_ssize_t pos = 0;
                      PyObject *key, *value;
                      while (PyDict_Next(kwargs, &pos, &key, &value))
                        if (!add(key, value)) return false;
                      return true;
                    },
                    out);
}

void type_mismatch(PyObject* o, const char* target) {
  if (o == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  Ref name(PyType_GetName(Py_TYPE(o)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

void wrap_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  Ref exc(PyErr_GetRaisedException());
  if (!Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  Ref text(PyObject_Str(exc.get()));
  if (!text) return;
  Ref wrapped(PyObject_CallFunction(PyExc_TypeError, "N",
                                    PyUnicode_FromFormat("argument '%s': %U", name, text.get())));
  if (!wrapped) return;
  // The new error takes over the original's cause (PyException_SetCause steals the reference).
  PyException_SetCause(wrapped.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(wrapped.release());
}

bool to_u64(PyObject* o, uint64_t& out) {
  if (PyLong_Check(o)) {
    out = PyLong_AsUnsignedLongLong(o);
  } else {
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
  }
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool to_u32(PyObject* o, uint32_t& out) {
  uint64_t v;
  if (!to_u64(o, v)) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, OUT_OF_RANGE);
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_u8(PyObject* o, uint8_t& out) {
  long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, OUT_OF_RANGE);
    return false;
  }
  out = static_cast<uint8_t>(v);
  return true;
}

bool to_bool(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  // numpy's booleans are accepted through their own truth value; nothing else is.
  PyTypeObject* type = Py_TYPE(o);
  Ref name(PyType_GetName(type));
  if (!name) return false;
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
      PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0) {
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) return false;
    if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
      inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
      if (!nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     name.get());
        return false;
      }
      int r = nb_bool(o);
      if (r < 0) return false;
      out = r != 0;
      return true;
    }
  }
  type_mismatch(o, "bool");
  return false;
}

bool to_str(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    type_mismatch(o, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (!utf8) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool refuse_str_and_non_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    type_mismatch(o, "Sequence");
    return false;
  }
  return true;
}

size_t length_hint(PyObject* o) {
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  // Only a hint: a __len__ may claim more than iterating yields, and space beyond this grows as
  // items actually come.
  constexpr size_t MOST_RESERVED = 4096;
  return std::min(static_cast<size_t>(n), MOST_RESERVED);
}

bool to_data(PyObject* o, FrameData& out) {
  out = FrameData{};
  auto take = [&](const char* p, Py_ssize_t n) {
    out.size = static_cast<size_t>(n);
    std::copy_n(p, std::min<size_t>(out.size, out.head.size()), out.head.begin());
  };
  if (PyBytes_Check(o)) {
    take(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    return true;
  }
  if (PyByteArray_Check(o)) {
    // Another thread may resize the bytearray. Its lock keeps the copy whole where bytearray
    // takes that lock itself; the free-threaded 3.13's bytearray does not, so the copy also holds
    // a buffer export, which makes a concurrent resize fail instead of freeing the bytes read.
    CriticalSection cs(o);
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) return false;
    take(static_cast<const char*>(view.buf), view.len);
    PyBuffer_Release(&view);
    return true;
  }
  if (!refuse_str_and_non_sequence(o)) return false;
  (void)length_hint(o);  // asked once, as for any sequence; nothing needs sizing here
  return for_each_in_sequence(o, [&](PyObject* item) {
    uint8_t b;
    if (!to_u8(item, b)) return false;
    out.push(b);
    return true;
  });
}

bool check_tuple(PyObject* o, Py_ssize_t len) {
  if (!PyTuple_Check(o)) {
    type_mismatch(o, "tuple");
    return false;
  }
  if (PyTuple_GET_SIZE(o) != len) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", len,
                 PyTuple_GET_SIZE(o));
    return false;
  }
  return true;
}

}  // namespace vorel::py
