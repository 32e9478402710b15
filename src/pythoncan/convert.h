// Argument parsing and the conversion rules shared by every method: integers, bool, str, data, tuples.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "py_util.h"

namespace vorel::py {

// A method's parameter list; `func` is how argument-list errors name it ("Class.method()").
struct Signature {
  const char* func;
  std::span<const char* const> names;
};

// Fills out[0..names.size()) from a vectorcall; every parameter is required. False: error set.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same from a tuple and an optional dict (for __new__).
bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Each converter returns false with the Python error set.
bool to_u64(PyObject* o, uint64_t& out);
bool to_u32(PyObject* o, uint32_t& out);
bool to_u8(PyObject* o, uint8_t& out);
bool to_bool(PyObject* o, bool& out);
bool to_str(PyObject* o, std::string& out);
// Frame data: every item is checked, but a record carries at most 8 bytes, so only those are kept
// (in place, no allocation on the send path).
struct FrameData {
  std::array<uint8_t, 8> head{};
  size_t size = 0;  // the length of the whole argument
  std::span<const uint8_t> bytes() const noexcept { return {head.data(), size < 8 ? size : 8}; }
  void push(uint8_t b) noexcept {
    if (size < head.size()) head[size] = b;
    ++size;
  }
};
bool to_data(PyObject* o, FrameData& out);
// A tuple of exactly `len` items.
bool check_tuple(PyObject* o, Py_ssize_t len);
// Iterates a sequence that passed refuse_str_and_non_sequence; `item` converts each element.
template <typename Item>
bool for_each_in_sequence(PyObject* o, Item&& item);

// TypeError "'{type}' object is not an instance of '{target}'" ("'None' is not ..." for None).
void type_mismatch(PyObject* o, const char* target);

// Replaces a pending TypeError by "argument '{name}': {message}", keeping the original's cause.
void wrap_type_error(const char* name);

// Runs a named parameter's conversion, naming the parameter in a TypeError it raises.
template <typename Fn>
bool convert_arg(const char* name, Fn&& fn) {
  if (fn()) return true;
  wrap_type_error(name);
  return false;
}

// Refuses `str` ("Can't extract `str` to `Vec`") and objects that are not sequences.
bool refuse_str_and_non_sequence(PyObject* o);

template <typename Item>
bool for_each_in_sequence(PyObject* o, Item&& item) {
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref value(raw);
    if (!item(value.get())) return false;
  }
  return !PyErr_Occurred();
}

// The sequence's length as a capacity hint; a failing __len__ is ignored.
size_t length_hint(PyObject* o);

// --- a method's arguments: parsed by its signature, each converted by its rule -----------------

// The rule of a parameter is the type it is converted into; None gives nullopt for an optional.
inline bool convert_into(PyObject* o, uint64_t& out) { return to_u64(o, out); }
inline bool convert_into(PyObject* o, uint32_t& out) { return to_u32(o, out); }
inline bool convert_into(PyObject* o, uint8_t& out) { return to_u8(o, out); }
inline bool convert_into(PyObject* o, bool& out) { return to_bool(o, out); }
inline bool convert_into(PyObject* o, std::string& out) { return to_str(o, out); }
inline bool convert_into(PyObject* o, FrameData& out) { return to_data(o, out); }
inline bool convert_into(PyObject* o, PyObject*& out) {  // borrowed, as given
  out = o;
  return true;
}
template <typename T>
bool convert_into(PyObject* o, std::optional<T>& out) {
  if (o == Py_None) return out.reset(), true;
  T value;
  if (!convert_into(o, value)) return false;
  out = std::move(value);
  return true;
}

// A parameter converted into `out` by its type's rule, a TypeError naming the parameter.
template <typename T>
struct Into {
  T& out;
  bool operator()(const char* name, PyObject* o) const {
    return convert_arg(name, [&] { return convert_into(o, out); });
  }
};
template <typename T>
Into<T> into(T& out) { return {out}; }

// A parameter with a rule of its own (one that words its errors itself).
template <typename Fn>
struct With {
  Fn fn;
  bool operator()(const char*, PyObject* o) const { return fn(o); }
};
template <typename Fn>
With<Fn> with(Fn fn) { return {std::move(fn)}; }

// Parses a vectorcall by `sig`, then applies each rule to its argument in order; false with the
// error set at the first that fails.
template <typename... Rules>
bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const Rules&... rules) {
  PyObject* a[sizeof...(Rules)];
  if (sig.names.size() != sizeof...(Rules)) {
    PyErr_Format(PyExc_SystemError, "%s: %zu rules for %zu parameters", sig.func, sizeof...(Rules), sig.names.size());
    return false;
  }
  if (!parse_fastcall(sig, args, nargs, kwnames, a)) return false;
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return (rules(sig.names[I], a[I]) && ...);
  }(std::index_sequence_for<Rules...>{});
}

}  // namespace vorel::py
