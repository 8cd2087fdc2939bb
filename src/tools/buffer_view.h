// A Python buffer held as C-contiguous bytes for as long as the view lives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace vertisift::tools {

// A buffer viewed as bytes, released when done. acquire() fails, with the exception set, for
// an object that is no buffer or not C-contiguous.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) == 0;
    return held_;
  }
  const void* data() const { return view_.buf; }
  std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vertisift::tools
