// A Python buffer held as C-contiguous bytes for as long as the view lives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstddef>
#include <string_view>

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
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
    return held_;
  }
  // The same, for a buffer the caller writes into.
  bool acquire_writable(PyObject* object) {
    held_ =
        PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) == 0;
    return held_;
  }
  void* writable_data() const { return view_.buf; }
  const void* data() const { return view_.buf; }
  std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }
  std::size_t item_bytes() const { return static_cast<std::size_t>(view_.itemsize); }
  // The struct-module code of the items in the machine's own byte order ('f', 'q', ...), or
  // '\0' for any other format; "B" for a buffer that states none.
  char code() const {
    std::string_view format = view_.format == nullptr ? "B" : view_.format;
    const bool own_order = format.size() == 2 &&
                           (format[0] == '@' || format[0] == '=' ||
                            format[0] == (std::endian::native == std::endian::little ? '<' : '>'));
    if (own_order) format.remove_prefix(1);
    return format.size() == 1 ? format[0] : '\0';
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vertisift::tools
