// Memory that the native code filled, handed to Python without a copy: a buffer object owns
// the block (a PodVector's, released to it) and lends it, writable, through the buffer
// protocol, so NumPy wraps it with frombuffer and keeps it alive as the array's base.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/pod_vector.h"
#include "boundary/pending.h"

namespace vertisift::tools {

// The buffer type, made once per module (a heap type, so each interpreter has its own).
PyObject* make_buffer_type(PyObject* module);

// A buffer object of `type` that takes over the block of `items`, leaving it empty.
boundary::Outcome<boundary::PyRef> own_block(PyObject* type, void* block, std::size_t bytes,
                                             std::size_t capacity_bytes);

template <class T>
boundary::Outcome<boundary::PyRef> own_items(PyObject* type, base::PodVector<T>& items) {
  const std::size_t bytes = items.size() * sizeof(T);
  std::size_t capacity = 0;
  T* block = items.release(capacity);
  return own_block(type, block, bytes, capacity * sizeof(T));
}

}  // namespace vertisift::tools
