#include "tools/mesh_call.h"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "formats/registry.h"
#include "tools/buffer_view.h"
#include "tools/mesh_buffer.h"
#include "tools/read_errors.h"
#include "tools/sample_call.h"
#include "tools/state.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

struct ReadMeshArguments {
  FilePath path;
  FileReading reading;
};

constexpr Parameter<ReadMeshArguments> READ_MESH_PARAMETERS[] = {
    {.name = "path",
     .convert = [](PyObject* value,
                   ReadMeshArguments& into) { return convert_path(value, into.path); }},
    {.name = "format",
     .convert = [](PyObject* value,
                   ReadMeshArguments& into) { return convert_format(value, into.reading); }},
    {.name = "strict",
     .convert = [](PyObject* value,
                   ReadMeshArguments& into) { return convert_strict(value, into.reading); }},
};
constexpr Signature<ReadMeshArguments> READ_MESH_SIGNATURE = {
    .function = "read_mesh",
    .positional = 1,
    .parameters = READ_MESH_PARAMETERS,
};

// `items` in a block of exactly their size: a copy into a fresh block, which the block cache
// gives without faulting pages in, rather than a shrink that hands pages back.
template <class T>
void exact_size(base::PodVector<T>& items) {
  if (items.capacity() == items.size()) return;
  base::PodVector<T> exact;
  exact.reserve(items.size());
  exact.append(items.data(), items.size());
  items = std::move(exact);
}

Outcome<PyRef> read_mesh_impl(PyObject* module, const ReadMeshArguments& arguments) {
  const FileReading& reading = arguments.reading;
  bool interrupted = false;
  auto read = boundary::without_interpreter_lock(interrupted, [&] {
    auto mesh =
        formats::read_mesh_file(arguments.path.text, reading.format, {.dialect = reading.dialect});
    // Only the positions and triangles go back, each in a block of its own size (an array
    // may live long): let the rest go while the lock is released.
    if (mesh.ok()) {
      mesh.value().streams.clear();
      exact_size(mesh.value().positions);
      exact_size(mesh.value().triangles);
    }
    return mesh;
  });
  if (interrupted) return boundary::fetch_pending();
  if (!read.ok()) {
    return file_read_error(read.error(), arguments.path.filename.get(),
                           refusal_type(module, reading.format));
  }
  mesh_io::Mesh& mesh = read.value();
  const ToolsState& state = state_of(module);
  auto positions = own_items(state.buffer_type, mesh.positions);
  if (!positions.ok()) return std::move(positions.error());
  auto triangles = own_items(state.buffer_type, mesh.triangles);
  if (!triangles.ok()) return std::move(triangles.error());
  PyRef skipped = boundary::checked(PyLong_FromUnsignedLongLong(mesh.skipped_faces));
  return boundary::checked(
      PyTuple_Pack(3, positions.value().get(), triangles.value().get(), skipped.get()));
}

Outcome<PyRef> read_mesh(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  ReadMeshArguments arguments;
  Conversion bound = bind(READ_MESH_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  return read_mesh_impl(module, arguments);
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
// or uses one with a coordinate that is not finite. The package checks the indices in its own
// words before it calls; they are checked here too, since a bad one would read past the
// vertices.
std::string refusal(const mesh_io::Mesh& mesh) {
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

struct SampleMeshArguments {
  BufferView vertices;
  BufferView triangles;
  SampleRequest request;
};

// A C-contiguous buffer, held for as long as the arguments live.
Conversion convert_buffer(PyObject* value, BufferView& into) {
  if (!into.acquire(value)) return boundary::fetch_pending();
  return Converted{};
}

constexpr Parameter<SampleMeshArguments> SAMPLE_MESH_PARAMETERS[] = {
    {.name = "vertices",
     .convert = [](PyObject* value,
                   SampleMeshArguments& into) { return convert_buffer(value, into.vertices); }},
    {.name = "faces",
     .convert = [](PyObject* value,
                   SampleMeshArguments& into) { return convert_buffer(value, into.triangles); }},
    {.name = "n", .convert = of_request<SampleMeshArguments, convert_count>},
    {.name = "method", .convert = of_request<SampleMeshArguments, convert_method>},
    {.name = "seed", .convert = of_request<SampleMeshArguments, convert_seed>},
    {.name = "normals", .convert = of_request<SampleMeshArguments, convert_normals>},
    {.name = "distinct", .convert = of_request<SampleMeshArguments, convert_distinct>},
    {.name = "candidates", .convert = of_request<SampleMeshArguments, convert_candidates>},
    {.name = "return_faces", .convert = of_request<SampleMeshArguments, convert_return_faces>},
    {.name = "return_barycentric",
     .convert = of_request<SampleMeshArguments, convert_return_barycentric>},
};
constexpr Signature<SampleMeshArguments> SAMPLE_MESH_SIGNATURE = {
    .function = "sample_mesh",
    .positional = 3,
    .parameters = SAMPLE_MESH_PARAMETERS,
};

Outcome<PyRef> sample_mesh_impl(SampleMeshArguments& arguments) {
  if (arguments.vertices.bytes() % sizeof(base::Point3) != 0 ||
      arguments.triangles.bytes() % sizeof(mesh_io::Triangle) != 0) {
    return value_error("vertices and faces must hold whole triples");
  }
  return run_sample(
      arguments.request,
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) -> Sampled {
        mesh_io::Mesh mesh;
        copy_items(arguments.vertices, mesh.positions);
        copy_items(arguments.triangles, mesh.triangles);
        std::string refused = refusal(mesh);
        if (!refused.empty()) return refused;
        return sample::sample_mesh(mesh, positions.size(), options, positions, normals);
      },
      nullptr, nullptr);
}

Outcome<PyRef> sample_mesh(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SampleMeshArguments arguments;
  Conversion bound = bind(SAMPLE_MESH_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  return sample_mesh_impl(arguments);
}

}  // namespace

PyObject* read_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return boundary::guard<ReadFaults>([&] { return read_mesh(module, args, nargs, kwnames); });
}

PyObject* formats_entry(PyObject*, PyObject*) {
  return boundary::guard<ToolFaults>([]() -> Outcome<PyRef> {
    const auto table = formats::mesh_formats();
    PyRef rows = boundary::checked(PyTuple_New(static_cast<Py_ssize_t>(table.size())));
    for (std::size_t i = 0; i < table.size(); ++i) {
      const formats::MeshFormat& format = table[i];
      PyRef suffixes =
          boundary::checked(PyTuple_New(static_cast<Py_ssize_t>(format.suffixes.size())));
      for (std::size_t k = 0; k < format.suffixes.size(); ++k) {
        PyTuple_SET_ITEM(suffixes.get(), static_cast<Py_ssize_t>(k),
                         boundary::checked(PyUnicode_FromStringAndSize(
                                               format.suffixes[k].data(),
                                               static_cast<Py_ssize_t>(format.suffixes[k].size())))
                             .release());
      }
      PyRef name = boundary::checked(PyUnicode_FromStringAndSize(
          format.name.data(), static_cast<Py_ssize_t>(format.name.size())));
      PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i),
                       boundary::checked(PyTuple_Pack(2, name.get(), suffixes.get())).release());
    }
    return rows;
  });
}

PyObject* sample_mesh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary::guard<SampleMeshFaults>([&] { return sample_mesh(args, nargs, kwnames); });
}

}  // namespace vertisift::tools
