#include "tools/mesh_call.h"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "tools/buffer_view.h"
#include "tools/mesh_buffer.h"
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

constexpr Py_ssize_t READ_MESH_ARGUMENTS = 3;
constexpr Py_ssize_t SAMPLE_MESH_ARGUMENTS = 9;

Outcome<PyRef> read_mesh(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != READ_MESH_ARGUMENTS) {
    return PendingException::deferred(PyExc_TypeError,
                                      "read_mesh() takes exactly 3 positional arguments");
  }
  PyRef filename = PyRef::steal(PyOS_FSPath(args[0]));
  if (!filename) return boundary::fetch_pending();
  auto path = boundary::path_text(filename.get());
  if (!path.ok()) return std::move(path.error());
  auto reading = file_reading(args[1], args[2]);
  if (!reading.ok()) return std::move(reading.error());

  bool interrupted = false;
  auto read = boundary::without_interpreter_lock(interrupted, [&] {
    auto mesh =
        formats::read_mesh_file(path.value(), reading.value().format, reading.value().dialect);
    // Only the positions and triangles go back: let the rest go while the lock is released.
    if (mesh.ok()) {
      mesh.value().normals = {};
      mesh.value().normal_triangles = {};
    }
    return mesh;
  });
  if (interrupted) return boundary::fetch_pending();
  if (!read.ok()) return boundary::read_error(read.error(), "", filename.get());
  mesh_io::StoredMesh& mesh = read.value();
  auto* state = static_cast<ToolsState*>(PyModule_GetState(module));
  auto positions = own_items(state->buffer_type, mesh.positions);
  if (!positions.ok()) return std::move(positions.error());
  auto triangles = own_items(state->buffer_type, mesh.triangles);
  if (!triangles.ok()) return std::move(triangles.error());
  PyRef skipped = boundary::checked(PyLong_FromUnsignedLongLong(mesh.skipped_faces));
  return boundary::checked(
      PyTuple_Pack(3, positions.value().get(), triangles.value().get(), skipped.get()));
}

template <class T>
void copy_items(const BufferView& view, base::PodVector<T>& items) {
  items.resize_zeroed(view.bytes() / sizeof(T));
  if (!items.empty()) std::memcpy(items.data(), view.data(), items.size() * sizeof(T));
}

inline bool finite(const base::Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Why `mesh` cannot be sampled, or an empty text: a triangle that names a vertex not there,
// or uses one with a coordinate that is not finite.
std::string refusal(const mesh_io::StoredMesh& mesh) {
  const std::size_t vertex_count = mesh.positions.size();
  for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
    for (const mesh_io::VertexIndex index : mesh.triangles[f].corners) {
      if (index >= vertex_count) {
        return "faces[" + std::to_string(f) + "] names vertex " + std::to_string(index) +
               ", but there are " + std::to_string(vertex_count) + " vertices";
      }
      if (!finite(mesh.positions[index])) {
        return "faces[" + std::to_string(f) + "] uses vertex " + std::to_string(index) +
               ", whose coordinates are not all finite";
      }
    }
  }
  return {};
}

Outcome<PyRef> sample_mesh(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != SAMPLE_MESH_ARGUMENTS) {
    return PendingException::deferred(PyExc_TypeError,
                                      "sample_mesh() takes exactly 9 positional arguments");
  }
  BufferView vertices, triangles;
  if (!vertices.acquire(args[0]) || !triangles.acquire(args[1])) {
    return boundary::fetch_pending();
  }
  if (vertices.bytes() % sizeof(base::Point3) != 0 ||
      triangles.bytes() % sizeof(mesh_io::Triangle) != 0) {
    return value_error("vertices and faces must hold whole triples");
  }
  auto request = sample_request(args + 2, args[7], args[8]);
  if (!request.ok()) return std::move(request.error());
  return run_sample(
      request.value(),
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) -> Sampled {
        mesh_io::StoredMesh mesh;
        copy_items(vertices, mesh.positions);
        copy_items(triangles, mesh.triangles);
        std::string refused = refusal(mesh);
        if (!refused.empty()) return refused;
        return sample::sample_stored(mesh, positions.size(), options, positions, normals);
      },
      nullptr);
}

}  // namespace

PyObject* read_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<ReadFaults>([&] { return read_mesh(module, args, nargs); });
}

PyObject* sample_mesh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<SampleMeshFaults>([&] { return sample_mesh(args, nargs); });
}

}  // namespace vertisift::tools
