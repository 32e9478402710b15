// Small RAII helpers over the CPython API: owned references and a detached thread state.
#pragma once

#include "compat.h"

#include <utility>

namespace vorel::py {

// An owned (strong) reference, released at scope exit.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  ~Ref() { Py_XDECREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Py_XDECREF(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Detaches the calling thread from the interpreter for a blocking call; re-attaches at scope exit.
// Nothing inside its scope may touch a Python object.
//
// Re-attaching is where an exiting interpreter ends a thread that is not the main one: up to 3.13
// it calls pthread_exit, a forced unwind that runs destructors on its way out. The destructor and
// every frame between it and the interpreter must therefore let an exception pass (none of them
// is noexcept), and catch-alls on that path rethrow it (see guarded()).
class ThreadStateRelease {
 public:
  ThreadStateRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~ThreadStateRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  ThreadStateRelease(const ThreadStateRelease&) = delete;
  ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vorel::py
