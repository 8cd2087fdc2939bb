#include "tools/mesh_call.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "formats/registry.h"
#include "tools/buffer_view.h"
#include "tools/mesh_buffer.h"
#include "tools/read_errors.h"
#include "tools/sample_call.h"
#include "tools/side_files_call.h"
#include "tools/state.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

struct ReadMeshArguments {
  FilePath path;
  FileReading reading;
  ModelData model;
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
    {.name = "data",
     .convert = [](PyObject* value,
                   ReadMeshArguments& into) { return convert_data(value, into.model); },
     .none_by_default = true},
    {.name = "side_files",
     .convert = [](PyObject* value,
                   ReadMeshArguments& into) { return convert_side_files(value, into.model); },
     .none_by_default = true},
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
  const ModelData& model = arguments.model;
  CallbackSideFiles side_files(model.side_files);
  bool interrupted = false;
  auto read = boundary::without_interpreter_lock(interrupted, [&] {
    const formats::ReadOptions options{.dialect = reading.dialect};
    auto mesh = model.given
                    ? formats::read_mesh_bytes(model.bytes(), reading.format, options, side_files)
                    : formats::read_mesh_file(arguments.path.text, reading.format, options);
    // Only the positions and triangles go back, each in a block of its own size (an array
    // may live long): let the rest go while the lock is released.
    if (mesh.ok()) {
      mesh.value().streams.clear();
      exact_size(mesh.value().positions);
      exact_size(mesh.value().triangles);
    }
    return mesh;
  });
  if (auto raised = side_files.take_raised()) return std::move(*raised);
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

inline bool finite(const base::Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The corner indices of a buffer of integers of type T: the lowest and the highest.
template <class T>
std::pair<T, T> index_range(const BufferView& view) {
  const std::span<const T> indices(static_cast<const T*>(view.data()), view.bytes() / sizeof(T));
  if (indices.empty()) return {T{0}, T{0}};
  const auto [low, high] = std::minmax_element(indices.begin(), indices.end());
  return {*low, *high};
}

template <class T>
void load_triangles(const BufferView& view, base::PodVector<mesh_io::Triangle>& into) {
  const std::span<const T> indices(static_cast<const T*>(view.data()), view.bytes() / sizeof(T));
  into.resize_zeroed(indices.size() / 3);
  auto* corners = reinterpret_cast<mesh_io::VertexIndex*>(into.data());
  for (std::size_t i = 0; i < indices.size(); ++i) {
    corners[i] = static_cast<mesh_io::VertexIndex>(indices[i]);
  }
}

// Calls `use` with a value of the integer type that the buffer code `code` of `bytes`-byte
// items names; false for a code of no integer type.
template <class Use>
bool with_index_type(char code, std::size_t bytes, Use use) {
  const bool is_signed = std::string_view("bhilqn").find(code) != std::string_view::npos;
  const bool is_unsigned = std::string_view("BHILQN").find(code) != std::string_view::npos;
  if (!is_signed && !is_unsigned) return false;
  switch (bytes) {
    case 1: is_signed ? use(std::int8_t{}) : use(std::uint8_t{}); return true;
    case 2: is_signed ? use(std::int16_t{}) : use(std::uint16_t{}); return true;
    case 4: is_signed ? use(std::int32_t{}) : use(std::uint32_t{}); return true;
    case 8: is_signed ? use(std::int64_t{}) : use(std::uint64_t{}); return true;
    default: return false;
  }
}

// Why the faces cannot be sampled over `vertex_count` vertices, or an empty text: a corner
// index below 0 or not below the count, reported as the lowest when one is below 0 and as the
// highest otherwise.
std::string index_refusal(const BufferView& faces, std::size_t vertex_count) {
  std::string refused;
  const bool integers = with_index_type(faces.code(), faces.item_bytes(), [&](auto type) {
    using T = decltype(type);
    const auto [low, high] = index_range<T>(faces);
    std::string bad;
    if constexpr (std::is_signed_v<T>) {
      if (low < 0) bad = std::to_string(low);
    }
    if (bad.empty() && static_cast<std::uint64_t>(high) >= vertex_count) {
      bad = std::to_string(high);
    }
    if (!bad.empty() && faces.bytes() != 0) {
      refused = "faces name vertex " + bad + ", but there are " + std::to_string(vertex_count) +
                " vertices";
    }
  });
  if (!integers) return "faces must hold integers";
  return refused;
}

// The vertices as the sampling takes them, in float32, and why they cannot be sampled, or an
// empty text: the first face, in order, that uses a vertex whose float32 position is not
// finite, because its coordinates overflow single precision or are not all finite.
template <class T>
std::string load_positions(const BufferView& view, const base::PodVector<mesh_io::Triangle>& faces,
                           base::PodVector<base::Point3>& into) {
  const std::span<const T> given(static_cast<const T*>(view.data()), view.bytes() / sizeof(T));
  into.resize_zeroed(given.size() / 3);
  for (std::size_t v = 0; v < into.size(); ++v) {
    into[v] = {static_cast<float>(given[3 * v]), static_cast<float>(given[3 * v + 1]),
               static_cast<float>(given[3 * v + 2])};
  }
  for (std::size_t f = 0; f < faces.size(); ++f) {
    for (const mesh_io::VertexIndex index : faces[f].corners) {
      if (finite(into[index])) continue;
      const std::string face =
          "faces[" + std::to_string(f) + "] uses vertex " + std::to_string(index);
      const T* xyz = &given[3 * std::size_t{index}];
      if (std::isfinite(xyz[0]) && std::isfinite(xyz[1]) && std::isfinite(xyz[2])) {
        char largest[32];
        std::snprintf(
            largest, sizeof largest, "%g",
            static_cast<double>(std::max({std::abs(xyz[0]), std::abs(xyz[1]), std::abs(xyz[2])})));
        return face + ", whose coordinates overflow single precision (largest magnitude " +
               largest + ")";
      }
      return face + ", whose coordinates are not all finite";
    }
  }
  return {};
}

struct SampleMeshArguments {
  BufferView vertices;
  BufferView triangles;
  BufferView colors;  // when request.colors
  SampleRequest request;
};

// A C-contiguous buffer, held for as long as the arguments live.
Conversion convert_buffer(PyObject* value, BufferView& into) {
  if (!into.acquire(value)) return boundary::fetch_pending();
  return Converted{};
}

// None, or the vertices' colours: C-contiguous float32 RGB triples, one a vertex.
Conversion convert_vertex_colors(PyObject* value, SampleMeshArguments& into) {
  into.request.colors = value != Py_None;
  if (value == Py_None) return Converted{};
  if (!into.colors.acquire(value)) return boundary::fetch_pending();
  const BufferView& vertices = into.vertices;
  const std::size_t vertex_count =
      vertices.item_bytes() == 0 ? 0 : vertices.bytes() / (3 * vertices.item_bytes());
  if (into.colors.code() != 'f' || into.colors.bytes() != vertex_count * 3 * sizeof(float)) {
    return value_error("colors must hold a float32 RGB triple for each vertex");
  }
  return Converted{};
}

// The vertices' colours as the mesh's colour stream, opaque.
void add_vertex_colors(mesh_io::Mesh& mesh, const BufferView& colors) {
  const std::span<const float> rgb(static_cast<const float*>(colors.data()),
                                   colors.bytes() / sizeof(float));
  base::PodVector<mesh_io::Rgba> items;
  items.resize_zeroed(rgb.size() / 3);
  for (std::size_t v = 0; v < items.size(); ++v) {
    items[v] = {.r = rgb[3 * v], .g = rgb[3 * v + 1], .b = rgb[3 * v + 2], .a = 1.0f};
  }
  mesh_io::add_colors(mesh, std::move(items), {});
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
    {.name = "normals", .convert = of_request<SampleMeshArguments, convert_normals>},
    {.name = "distinct", .convert = of_request<SampleMeshArguments, convert_distinct>},
    {.name = "candidates", .convert = of_request<SampleMeshArguments, convert_candidates>},
    {.name = "colors", .convert = convert_vertex_colors},
    {.name = "return_faces", .convert = of_request<SampleMeshArguments, convert_return_faces>},
    {.name = "return_barycentric",
     .convert = of_request<SampleMeshArguments, convert_return_barycentric>},
    {.name = "seed", .convert = of_request<SampleMeshArguments, convert_seed>},
    {.name = "visible",
     .convert = of_request<SampleMeshArguments, convert_visible>,
     .none_by_default = true},
    {.name = "view_directions",
     .convert = of_request<SampleMeshArguments, convert_view_directions>,
     .none_by_default = true},
};
constexpr Signature<SampleMeshArguments> SAMPLE_MESH_SIGNATURE = {
    .function = "sample_mesh",
    .positional = 3,
    .parameters = SAMPLE_MESH_PARAMETERS,
};

Outcome<PyRef> sample_mesh_impl(SampleMeshArguments& arguments) {
  const BufferView& vertices = arguments.vertices;
  const BufferView& faces = arguments.triangles;
  const char coordinates = vertices.code();
  if ((coordinates != 'f' && coordinates != 'd') || faces.item_bytes() == 0 ||
      vertices.bytes() % (3 * vertices.item_bytes()) != 0 ||
      faces.bytes() % (3 * faces.item_bytes()) != 0) {
    return value_error(
        "vertices and faces must hold whole triples of float32 or float64, and of "
        "integers");
  }
  const std::size_t vertex_count = vertices.bytes() / (3 * vertices.item_bytes());
  std::string refused = index_refusal(faces, vertex_count);
  if (!refused.empty()) return value_error(std::move(refused));
  return run_sample(
      arguments.request,
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) -> Sampled {
        mesh_io::Mesh mesh;
        with_index_type(faces.code(), faces.item_bytes(),
                        [&](auto type) { load_triangles<decltype(type)>(faces, mesh.triangles); });
        std::string unusable =
            coordinates == 'f' ? load_positions<float>(vertices, mesh.triangles, mesh.positions)
                               : load_positions<double>(vertices, mesh.triangles, mesh.positions);
        if (!unusable.empty()) return unusable;
        if (arguments.request.colors) add_vertex_colors(mesh, arguments.colors);
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
