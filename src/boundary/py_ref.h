// PyRef: the one owner of a strong reference to a Python object. Construct it with `steal`
// from a new reference (or NULL) or with `borrow` from a borrowed one; `release` hands the
// reference on (to a stealing call such as PyList_SET_ITEM, or back to the interpreter).
//
// An owner may be destroyed without the interpreter lock in one case only: at interpreter
// exit, a daemon thread that takes the lock back (see released_lock.h) is ended by a forced
// unwinding of its stack, which runs the destructors of every frame on it. Touching a Python
// object then would crash the exiting process, so an owner on a thread that has released the
// lock lets its reference go without touching it; the process is ending anyway.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vertisift::boundary {

// True while this thread runs without the interpreter lock it released.
inline thread_local bool interpreter_lock_released = false;

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (object_ != nullptr && !interpreter_lock_released) Py_DECREF(object_);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vertisift::boundary
