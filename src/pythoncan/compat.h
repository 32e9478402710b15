// The few CPython APIs that differ between the CPythons the module builds for (3.11 on, GIL and free-threaded).
//
// Free-threaded builds get the real thing; older or GIL builds get an equivalent: the GIL slot is
// left out before 3.13, and a critical section does nothing where the GIL already keeps other
// Python threads out. Include this instead of using the APIs below directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#if defined(_WIN32) && defined(__aarch64__) && !defined(_MSC_VER)
// Windows on ARM64 with clang and MinGW-w64: the free-threaded _Py_ThreadId reads the thread's
// TEB through MSVC's __getReg intrinsic, which no header here declares. Declared for this target
// only, never by editing CPython's headers; the build passes -fms-extensions, without which clang
// takes the declaration for an ordinary function and every use stays an undefined symbol.
extern "C" unsigned __int64 __getReg(int);
#endif
#include <Python.h>

// The module slot that declares the module safe without the GIL (3.13 and later).
#ifdef Py_mod_gil
#define VOREL_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VOREL_MOD_GIL_SLOT
#endif

// The module slot that declares subinterpreters unsupported (3.12 and later). CPython itself
// refuses the import only in isolated subinterpreters; module_exec refuses legacy ones too.
#ifdef Py_mod_multiple_interpreters
#define VOREL_MOD_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VOREL_MOD_INTERPRETERS_SLOT
#endif

// A thread that the interpreter ends while it re-attaches (glibc's pthread_exit) is unwound by an
// exception that no handler may keep. libstdc++ gives it a type, abi::__forced_unwind, caught and
// rethrown first; other C++ runtimes (libc++abi) show it to `catch (...)` as a foreign exception,
// one without a C++ type, which is_thread_exit() tells. The Windows runtimes end threads without
// unwinding them.
#include <cxxabi.h>
#if defined(__GLIBCXX__)
#define VOREL_PASS_THREAD_EXIT \
  catch (abi::__forced_unwind&) { throw; }
#else
#define VOREL_PASS_THREAD_EXIT
#endif

namespace vorel::py {

// Inside `catch (...)`: whether the exception is not C++'s (a forced unwind).
inline bool is_thread_exit() noexcept { return abi::__cxa_current_exception_type() == nullptr; }

// Holds an object's per-object lock for a scope. Only free-threaded builds have such locks; with
// a GIL, holding the GIL already keeps every other Python thread out, and this does nothing.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* o) noexcept { PyCriticalSection_Begin(&cs_, o); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection cs_;
#endif
};

}  // namespace vorel::py

#if PY_VERSION_HEX < 0x030C0000
// The raised exception as one object (3.12 and later).
inline PyObject* PyErr_GetRaisedException() noexcept {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}
inline void PyErr_SetRaisedException(PyObject* exc) noexcept {
  if (!exc) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif
