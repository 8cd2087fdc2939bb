#include "tools/draco_call.h"

#include "boundary/py_ref.h"  // first: Python.h precedes the standard headers

#include <cstring>
#include <span>
#include <string>

#include "boundary/released_lock.h"
#include "gltf/draco.h"

namespace vertisift::tools {
namespace {

using boundary::PyRef;
using mesh_io::ReadError;
using mesh_io::ReadResult;

// The pending exception's text, cleared.
std::string pending_text() {
  PyObject* raised = PyErr_GetRaisedException();
  PyRef owned = PyRef::steal(raised);
  PyRef text = PyRef::steal(raised != nullptr ? PyObject_Str(raised) : nullptr);
  PyErr_Clear();
  const char* utf8 = text.get() != nullptr ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  return utf8 != nullptr ? utf8 : "an error without text";
}

ReadResult<gltf::DracoMesh> broken(std::string what) {
  return ReadError::invalid_data("the Draco data cannot be decoded: " + std::move(what));
}

// Copies `object`'s bytes (a bytes object) into `into`, `count` items of T; false when it
// holds another number of bytes.
template <class T>
bool copy_bytes(PyObject* object, std::size_t count, base::PodVector<T>& into) {
  if (!PyBytes_Check(object) ||
      static_cast<std::size_t>(PyBytes_GET_SIZE(object)) != count * sizeof(T)) {
    return false;
  }
  into.clear();
  into.append(reinterpret_cast<const T*>(PyBytes_AS_STRING(object)), count);
  return true;
}

// decode() gives a text (why it cannot decode: DracoPy missing) or
// (points, corners as uint32 bytes, [(id, components, float32 bytes), ...]).
ReadResult<gltf::DracoMesh> call_decode(std::span<const std::byte> data,
                                        std::span<const std::uint32_t> ids) {
  PyRef module = PyRef::steal(PyImport_ImportModule("vertisift_tools.draco"));
  if (module.get() == nullptr) return broken(pending_text());
  PyRef blob = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                      static_cast<Py_ssize_t>(data.size())));
  PyRef wanted = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
  if (blob.get() == nullptr || wanted.get() == nullptr) return broken(pending_text());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLong(ids[i]);
    if (id == nullptr) return broken(pending_text());
    PyTuple_SET_ITEM(wanted.get(), static_cast<Py_ssize_t>(i), id);
  }
  PyRef result =
      PyRef::steal(PyObject_CallMethod(module.get(), "decode", "OO", blob.get(), wanted.get()));
  if (result.get() == nullptr) return broken(pending_text());
  if (PyUnicode_Check(result.get())) {
    const char* text = PyUnicode_AsUTF8(result.get());
    if (text == nullptr) return broken(pending_text());
    return ReadError::invalid_data(text);
  }
  PyObject* points = nullptr;
  PyObject* corners = nullptr;
  PyObject* attributes = nullptr;
  if (!PyTuple_Check(result.get()) ||
      !PyArg_ParseTuple(result.get(), "OOO", &points, &corners, &attributes) ||
      !PyList_Check(attributes)) {
    PyErr_Clear();
    return broken("the decoder gave something else than its points and attributes");
  }
  gltf::DracoMesh mesh;
  mesh.points = PyLong_AsUnsignedLongLong(points);
  if (PyErr_Occurred()) return broken(pending_text());
  if (!PyBytes_Check(corners) || PyBytes_GET_SIZE(corners) % 12 != 0 ||
      !copy_bytes(corners, static_cast<std::size_t>(PyBytes_GET_SIZE(corners)) / 4, mesh.corners)) {
    return broken("its corners are not whole triangles");
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attributes); ++i) {
    unsigned long id = 0;
    unsigned long components = 0;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(PyList_GET_ITEM(attributes, i), "kkO", &id, &components, &values) ||
        components == 0 || components > 16) {
      PyErr_Clear();
      return broken("an attribute that is not (id, components, values)");
    }
    gltf::DracoMesh::Attribute& attribute = mesh.attributes.emplace_back();
    attribute.id = static_cast<std::uint32_t>(id);
    attribute.components = static_cast<std::uint32_t>(components);
    if (!copy_bytes(values, mesh.points * components, attribute.values)) {
      return broken("attribute " + std::to_string(id) + " has not one value a point and component");
    }
  }
  return mesh;
}

ReadResult<gltf::DracoMesh> decode(std::span<const std::byte> data,
                                   std::span<const std::uint32_t> ids) {
  auto decoded = boundary::with_interpreter_lock([&] { return call_decode(data, ids); });
  if (!decoded) return ReadError::invalid_data("Draco data is decoded only on a Python thread");
  return std::move(*decoded);
}

}  // namespace

void install_draco_decoder() { gltf::set_draco_decoder(decode); }

}  // namespace vertisift::tools
