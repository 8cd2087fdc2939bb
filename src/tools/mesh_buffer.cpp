#include "tools/mesh_buffer.h"

#include <new>

#include "base/big_alloc.h"

namespace vertisift::tools {
namespace {

struct BufferObject {
  PyObject_HEAD void* block;
  Py_ssize_t bytes;
  std::size_t capacity_bytes;
};

// Lent for an empty block, which has no address of its own.
char empty_block[1];

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* buffer = reinterpret_cast<BufferObject*>(self);
  void* start = buffer->block != nullptr ? buffer->block : empty_block;
  return PyBuffer_FillInfo(view, self, start, buffer->bytes, 0, flags);
}

void dealloc(PyObject* self) {
  auto* buffer = reinterpret_cast<BufferObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  base::big_free(buffer->block, buffer->capacity_bytes);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory filled by the native code; wrap it with "
                                  "numpy.frombuffer.")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    .name = "vertisift_tools._native.NativeBuffer",
    .basicsize = sizeof(BufferObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = buffer_slots,
};

}  // namespace

PyObject* make_buffer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &buffer_spec, nullptr);
}

boundary::Outcome<boundary::PyRef> own_block(PyObject* type, void* block, std::size_t bytes,
                                             std::size_t capacity_bytes) {
  auto* object = PyObject_New(BufferObject, reinterpret_cast<PyTypeObject*>(type));
  if (object == nullptr) {
    // Only memory can be missing: the guard words it as the call's.
    base::big_free(block, capacity_bytes);
    PyErr_Clear();
    throw std::bad_alloc();
  }
  object->block = block;
  object->bytes = static_cast<Py_ssize_t>(bytes);
  object->capacity_bytes = capacity_bytes;
  return boundary::PyRef::steal(reinterpret_cast<PyObject*>(object));
}

}  // namespace vertisift::tools
