#include "tools/sample_call.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "sample/sampling.h"
#include "tools/read_errors.h"
#include "tools/side_files_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

constexpr std::size_t BYTES_PER_POINT = 3 * sizeof(float);
constexpr std::size_t BYTES_PER_FACE_INDEX = sizeof(std::uint64_t);
// What a candidate of the farthest-point and the poisson sample takes while they choose:
// position, normal, face and the chooser's own records.
constexpr std::uint64_t BYTES_PER_CANDIDATE = 64;

constexpr Named<sample::SampleMethod> METHOD_NAMES[] = {
    {.name = "vertices", .value = sample::SampleMethod::Vertices},
    {.name = "surface", .value = sample::SampleMethod::Surface},
    {.name = "fps", .value = sample::SampleMethod::Farthest},
    {.name = "poisson", .value = sample::SampleMethod::Poisson},
};
constexpr Named<sample::NormalSource> NORMALS_NAMES[] = {
    {.name = "auto", .value = sample::NormalSource::Auto},
    {.name = "file", .value = sample::NormalSource::File},
    {.name = "geometry", .value = sample::NormalSource::Geometry},
    {.name = "smooth", .value = sample::NormalSource::Smooth},
    {.name = "outward", .value = sample::NormalSource::Outward},
};

// The one method whose top-up can take points not chosen yet: the surface sample draws every
// point independently.
constexpr sample::SampleMethod DISTINCT_METHOD = sample::SampleMethod::Vertices;

// The candidates that fps and poisson choose n points from when none are given: fps takes
// FPS_CANDIDATES, or FPS_CANDIDATE_FACTOR * n when that is more (the point-cloud releases of
// common benchmarks keep 2,048 of 10,000); poisson takes POISSON_CANDIDATE_FACTOR * n, which
// elimination needs to find an even subset.
constexpr std::uint64_t FPS_CANDIDATES = 10'000;
constexpr std::uint64_t FPS_CANDIDATE_FACTOR = 4;
constexpr std::uint64_t POISSON_CANDIDATE_FACTOR = 5;

// The most view directions a visible sample takes: a hidden point costs one ray each.
constexpr std::uint64_t MAX_VIEW_DIRECTIONS = 4096;

// The methods that keep n of a larger uniform surface sample, and those on the surface,
// which can tell each point's face.
bool chooses(sample::SampleMethod method) {
  return method == sample::SampleMethod::Farthest || method == sample::SampleMethod::Poisson;
}
bool on_surface(sample::SampleMethod method) { return method != sample::SampleMethod::Vertices; }

const char* name_of(sample::SampleMethod method) {
  for (const auto& entry : METHOD_NAMES) {
    if (entry.value == method) return entry.name;
  }
  return "";
}

PendingException cannot_hold(const std::string& count, const char* what) {
  return PendingException::deferred(PyExc_MemoryError, "cannot hold " + count + " " + what);
}

PendingException cannot_hold(std::uint64_t count, const char* what) {
  return cannot_hold(std::to_string(count), what);
}

// A bytearray of `bytes` for a result of `points` points; MemoryError "cannot hold N points"
// when the interpreter cannot make it.
Outcome<PyRef> result_bytes(std::size_t bytes, std::uint64_t points) {
  PyObject* made = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
  if (made != nullptr) return PyRef::steal(made);
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return boundary::fetch_pending();
  PyErr_Clear();
  return cannot_hold(points, "points");
}

struct SampleArguments {
  FilePath path;
  SampleRequest request;
  FileReading reading;
  ModelData model;
};

constexpr Parameter<SampleArguments> SAMPLE_PARAMETERS[] = {
    {.name = "path",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_path(value, into.path); }},
    {.name = "n", .convert = of_request<SampleArguments, convert_count>},
    {.name = "method", .convert = of_request<SampleArguments, convert_method>},
    {.name = "normals", .convert = of_request<SampleArguments, convert_normals>},
    {.name = "distinct", .convert = of_request<SampleArguments, convert_distinct>},
    {.name = "candidates", .convert = of_request<SampleArguments, convert_candidates>},
    {.name = "colors", .convert = of_request<SampleArguments, convert_colors>},
    {.name = "return_faces", .convert = of_request<SampleArguments, convert_return_faces>},
    {.name = "return_barycentric",
     .convert = of_request<SampleArguments, convert_return_barycentric>},
    {.name = "seed", .convert = of_request<SampleArguments, convert_seed>},
    {.name = "visible",
     .convert = of_request<SampleArguments, convert_visible>,
     .none_by_default = true},
    {.name = "view_directions",
     .convert = of_request<SampleArguments, convert_view_directions>,
     .none_by_default = true},
    {.name = "format",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_format(value, into.reading); }},
    {.name = "strict",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_strict(value, into.reading); }},
    {.name = "data",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_data(value, into.model); },
     .none_by_default = true},
    {.name = "side_files",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_side_files(value, into.model); },
     .none_by_default = true},
};
constexpr Signature<SampleArguments> SAMPLE_SIGNATURE = {
    .function = "sample",
    .positional = 2,
    .parameters = SAMPLE_PARAMETERS,
};

Outcome<PyRef> sample_impl(PyObject* module, SampleArguments& arguments) {
  const FileReading& reading = arguments.reading;
  const ModelData& model = arguments.model;
  CallbackSideFiles side_files(model.side_files);
  Outcome<PyRef> sampled = run_sample(
      arguments.request,
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) {
        if (model.given) {
          return sample::sample_bytes(model.bytes(), reading.format, reading.dialect,
                                      positions.size(), options, positions, normals, side_files);
        }
        return sample::sample_file(arguments.path.text, reading.format, reading.dialect,
                                   positions.size(), options, positions, normals);
      },
      arguments.path.filename.get(), refusal_type(module, reading.format));
  if (auto raised = side_files.take_raised()) return std::move(*raised);
  return sampled;
}

Outcome<PyRef> sample(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  SampleArguments arguments;
  Conversion bound = bind(SAMPLE_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  return sample_impl(module, arguments);
}

struct DrawArguments {
  SampleRequest request;
};

constexpr Parameter<DrawArguments> DRAW_PARAMETERS[] = {
    {.name = "n", .convert = of_request<DrawArguments, convert_count>},
    {.name = "method", .convert = of_request<DrawArguments, convert_method>},
    {.name = "normals", .convert = of_request<DrawArguments, convert_normals>},
    {.name = "distinct", .convert = of_request<DrawArguments, convert_distinct>},
    {.name = "candidates", .convert = of_request<DrawArguments, convert_candidates>},
    {.name = "colors", .convert = of_request<DrawArguments, convert_colors>},
    {.name = "seed", .convert = of_request<DrawArguments, convert_seed>},
    {.name = "visible",
     .convert = of_request<DrawArguments, convert_visible>,
     .none_by_default = true},
    {.name = "view_directions",
     .convert = of_request<DrawArguments, convert_view_directions>,
     .none_by_default = true},
};
constexpr Signature<DrawArguments> DRAW_SIGNATURE = {
    .function = "check_draw",
    .positional = 1,
    .parameters = DRAW_PARAMETERS,
};

PyRef optional_number(bool given, std::uint64_t value) {
  if (!given) return PyRef::borrow(Py_None);
  return boundary::checked(PyLong_FromUnsignedLongLong(value));
}

Outcome<PyRef> check_draw(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  DrawArguments arguments;
  Conversion bound = bind(DRAW_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  const SampleRequest& request = arguments.request;
  PyRef count = boundary::checked(PyLong_FromUnsignedLongLong(request.count));
  PyRef candidates = optional_number(!request.default_candidates, request.options.candidates);
  PyRef seed = optional_number(request.seed.has_value(), request.seed.value_or(0));
  const bool visible = request.options.visible;
  PyRef directions = optional_number(visible, request.options.view_directions);
  return boundary::checked(
      PyTuple_Pack(7, count.get(), request.options.distinct ? Py_True : Py_False, candidates.get(),
                   request.colors ? Py_True : Py_False, seed.get(), visible ? Py_True : Py_False,
                   directions.get()));
}

}  // namespace

PyObject* check_draw_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary::guard<ToolFaults>([&] { return check_draw(args, nargs, kwnames); });
}

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

PendingException value_error(std::string message) {
  return PendingException::deferred(PyExc_ValueError, std::move(message));
}

Conversion convert_count(PyObject* value, SampleRequest& into) {
  auto number = to_integer(value, "n must be an int");
  if (!number.ok()) return std::move(number.error());
  PyObject* n = number.value().get();
  if (is_negative(n)) return value_error("n must be 0 or more, not " + boundary::text_of(n));
  const std::optional<std::uint64_t> count = within_u64(n);
  if (!count) return cannot_hold(boundary::text_of(n), "points");
  into.count = *count;
  return Converted{};
}

Conversion convert_method(PyObject* value, SampleRequest& into) {
  return store(choice<sample::SampleMethod>(value, METHOD_NAMES, "method"), into.options.method);
}

Conversion convert_normals(PyObject* value, SampleRequest& into) {
  return store(choice<sample::NormalSource>(value, NORMALS_NAMES, "normals"), into.options.normals);
}

Conversion convert_distinct(PyObject* value, SampleRequest& into) {
  auto distinct = to_flag(value, "distinct");
  if (!distinct.ok()) return std::move(distinct.error());
  if (distinct.value() && into.options.method != DISTINCT_METHOD) {
    return value_error("distinct=True applies only to method='" +
                       std::string(name_of(DISTINCT_METHOD)) + "'");
  }
  into.options.distinct = distinct.value();
  return Converted{};
}

Conversion convert_candidates(PyObject* value, SampleRequest& into) {
  const sample::SampleMethod method = into.options.method;
  const std::uint64_t count = into.count;
  into.default_candidates = value == Py_None;
  if (value == Py_None) {
    const std::uint64_t factor = method == sample::SampleMethod::Farthest ? FPS_CANDIDATE_FACTOR
                                 : method == sample::SampleMethod::Poisson
                                     ? POISSON_CANDIDATE_FACTOR
                                     : 0;
    // Only for counts whose points alone could never be held.
    if (factor != 0 && count > UINT64_MAX / factor) {
      return cannot_hold(std::to_string(count), "points");
    }
    into.options.candidates = method == sample::SampleMethod::Farthest
                                  ? std::max(FPS_CANDIDATES, factor * count)
                                  : factor * count;
    return Converted{};
  }
  auto number = to_integer(value, "candidates must be None or an int");
  if (!number.ok()) return std::move(number.error());
  if (!chooses(method)) {
    return value_error("candidates applies only to method " +
                       one_of<sample::SampleMethod>(METHOD_NAMES, chooses));
  }
  PyObject* candidates = number.value().get();
  const auto too_few = [&] {
    return value_error("candidates must be at least n (" + std::to_string(count) + "), not " +
                       boundary::text_of(candidates));
  };
  if (is_negative(candidates)) return too_few();
  const std::optional<std::uint64_t> drawn = within_u64(candidates);
  if (!drawn.has_value()) return cannot_hold(boundary::text_of(candidates), "candidates");
  if (drawn.value() < count) return too_few();
  into.options.candidates = drawn.value();
  return Converted{};
}

Conversion convert_colors(PyObject* value, SampleRequest& into) {
  return store(to_flag(value, "colors"), into.colors);
}

// A flag that asks for what only the methods on the surface give.
Conversion convert_surface_flag(PyObject* value, const char* name,
                                const sample::SampleMethod method, bool& into) {
  auto flag = to_flag(value, name);
  if (!flag.ok()) return std::move(flag.error());
  if (flag.value() && !on_surface(method)) {
    return value_error(std::string(name) + "=True needs a method on the surface (" +
                       one_of<sample::SampleMethod>(METHOD_NAMES, on_surface) + ")");
  }
  into = flag.value();
  return Converted{};
}

Conversion convert_return_faces(PyObject* value, SampleRequest& into) {
  return convert_surface_flag(value, "return_faces", into.options.method, into.faces);
}

Conversion convert_return_barycentric(PyObject* value, SampleRequest& into) {
  return convert_surface_flag(value, "return_barycentric", into.options.method, into.weights);
}

Conversion convert_seed(PyObject* value, SampleRequest& into) {
  into.need_key = value == Py_None;
  into.seed.reset();
  if (into.need_key) return Converted{};
  auto number = to_integer(value, "seed must be None or an int");
  if (!number.ok()) return std::move(number.error());
  PyObject* seed = number.value().get();
  const std::optional<std::uint64_t> key = is_negative(seed) ? std::nullopt : within_u64(seed);
  if (!key) return value_error("seed must be in [0, 2**64), not " + boundary::text_of(seed));
  into.seed = key;
  into.options.key = random::derive_sample_key(*key);
  return Converted{};
}

Conversion convert_visible(PyObject* value, SampleRequest& into) {
  if (value == Py_None) value = Py_False;  // not given
  auto visible = to_flag(value, "visible");
  if (!visible.ok()) return std::move(visible.error());
  // "outward" normals are those of a visible sample.
  into.options.visible = visible.value() || into.options.normals == sample::NormalSource::Outward;
  return Converted{};
}

Conversion convert_view_directions(PyObject* value, SampleRequest& into) {
  into.options.view_directions = sample::DEFAULT_VIEW_DIRECTIONS;
  if (value == Py_None) return Converted{};
  auto number = to_integer(value, "view_directions must be None or an int");
  if (!number.ok()) return std::move(number.error());
  if (!into.options.visible) {
    return value_error("view_directions applies only with visible=True or normals='outward'");
  }
  PyObject* directions = number.value().get();
  const std::optional<std::uint64_t> given =
      is_negative(directions) ? std::nullopt : within_u64(directions);
  if (!given || *given < 1 || *given > MAX_VIEW_DIRECTIONS) {
    return value_error("view_directions must be in [1, " + std::to_string(MAX_VIEW_DIRECTIONS) +
                       "], not " + boundary::text_of(directions));
  }
  into.options.view_directions = static_cast<std::uint32_t>(*given);
  return Converted{};
}

Conversion convert_path(PyObject* value, FilePath& into) {
  auto text = boundary::path_text(value);
  if (!text.ok()) return std::move(text.error());
  into.filename = PyRef::borrow(value);
  into.text = std::move(text.value());
  return Converted{};
}

Conversion convert_format(PyObject* value, FileReading& into) {
  auto name = to_name(value);
  if (!name.ok()) return std::move(name.error());
  const formats::MeshFormat* format = formats::find_format(name.value());
  if (format == nullptr) return unknown_name("mesh format", name.value());
  into.format = format->name;
  return Converted{};
}

Conversion convert_strict(PyObject* value, FileReading& into) {
  auto strict = to_flag(value, "strict");
  if (!strict.ok()) return std::move(strict.error());
  into.dialect = strict.value() ? stl::StlDialect::Strict : stl::StlDialect::Lenient;
  return Converted{};
}

namespace {

// A name from a file, as text: bytes that are not UTF-8 replaced.
PyRef text_of_name(const std::string& name) {
  return boundary::checked(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
}

template <class T>
PyRef bytearray_of(const base::PodVector<T>& items) {
  return boundary::checked(
      PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                    static_cast<Py_ssize_t>(items.size() * sizeof(T))));
}

const char* wrap_name(mesh_io::Wrap wrap) {
  switch (wrap) {
    case mesh_io::Wrap::ClampToEdge: return "clamp";
    case mesh_io::Wrap::MirroredRepeat: return "mirror";
    case mesh_io::Wrap::Repeat: break;
  }
  return "repeat";
}

// (name, materials, bytes or None, why unreadable, points, uvs, wrap_u, wrap_v) for each
// texture.
PyRef textures_of(const std::vector<sample::TexturedPoints>& textures) {
  PyRef all = boundary::checked(PyTuple_New(static_cast<Py_ssize_t>(textures.size())));
  for (std::size_t t = 0; t < textures.size(); ++t) {
    const sample::TexturedPoints& texture = textures[t];
    PyRef materials =
        boundary::checked(PyTuple_New(static_cast<Py_ssize_t>(texture.materials.size())));
    for (std::size_t m = 0; m < texture.materials.size(); ++m) {
      PyTuple_SET_ITEM(materials.get(), static_cast<Py_ssize_t>(m),
                       text_of_name(texture.materials[m]).release());
    }
    PyRef bytes = texture.unreadable.empty()
                      ? boundary::checked(PyBytes_FromStringAndSize(
                            reinterpret_cast<const char*>(texture.bytes.data()),
                            static_cast<Py_ssize_t>(texture.bytes.size())))
                      : PyRef::borrow(Py_None);
    PyRef entry = boundary::checked(
        PyTuple_Pack(8, text_of_name(texture.name).get(), materials.get(), bytes.get(),
                     text_of_name(texture.unreadable).get(), bytearray_of(texture.points).get(),
                     bytearray_of(texture.uvs).get(),
                     boundary::checked(PyUnicode_FromString(wrap_name(texture.wrap_u))).get(),
                     boundary::checked(PyUnicode_FromString(wrap_name(texture.wrap_v))).get()));
    PyTuple_SET_ITEM(all.get(), static_cast<Py_ssize_t>(t), entry.release());
  }
  return all;
}

}  // namespace

Outcome<PyRef> run_sample(SampleRequest& request, const SampleDriver& driver, PyObject* filename,
                          PyObject* refusal) {
  // The result's size, and the candidates', are checked before anything is allocated: more
  // than the machine's memory can never be answered, nor candidates beyond 32-bit indices.
  const std::uint64_t points = request.count;
  const std::uint64_t memory = physical_memory() / 2;
  if (points > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / BYTES_PER_POINT ||
      points * BYTES_PER_POINT > memory) {
    return cannot_hold(points, "points");
  }
  if (request.options.candidates >
      std::min<std::uint64_t>(memory / BYTES_PER_CANDIDATE, UINT32_MAX)) {
    return cannot_hold(request.options.candidates, "candidates");
  }
  const auto bytes = static_cast<std::size_t>(points * BYTES_PER_POINT);
  auto made_positions = result_bytes(bytes, points);
  if (!made_positions.ok()) return std::move(made_positions.error());
  auto made_normals = result_bytes(bytes, points);
  if (!made_normals.ok()) return std::move(made_normals.error());
  auto made_colors = result_bytes(request.colors ? bytes : 0, points);
  if (!made_colors.ok()) return std::move(made_colors.error());
  auto made_faces = result_bytes(
      request.faces ? static_cast<std::size_t>(points * BYTES_PER_FACE_INDEX) : 0, points);
  if (!made_faces.ok()) return std::move(made_faces.error());
  auto made_weights = result_bytes(
      request.weights ? static_cast<std::size_t>(points * BYTES_PER_POINT) : 0, points);
  if (!made_weights.ok()) return std::move(made_weights.error());
  PyRef positions = std::move(made_positions.value());
  PyRef normal_bytes = std::move(made_normals.value());
  PyRef colors = std::move(made_colors.value());
  PyRef face_indices = std::move(made_faces.value());
  PyRef weights = std::move(made_weights.value());
  request.options.face_indices = std::span<std::uint64_t>(
      reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(face_indices.get())),
      request.faces ? points : 0);
  static_assert(sizeof(sample::CornerWeights) == BYTES_PER_POINT);
  request.options.weights = std::span<sample::CornerWeights>(
      reinterpret_cast<sample::CornerWeights*>(PyByteArray_AS_STRING(weights.get())),
      request.weights ? points : 0);
  // bytearray storage comes from the interpreter's allocator, aligned for any scalar type.
  const std::span<base::Point3> position_span(
      reinterpret_cast<base::Point3*>(PyByteArray_AS_STRING(positions.get())), points);
  const std::span<base::Point3> normal_span(
      reinterpret_cast<base::Point3*>(PyByteArray_AS_STRING(normal_bytes.get())), points);

  const std::span<base::Point3> color_span(
      reinterpret_cast<base::Point3*>(PyByteArray_AS_STRING(colors.get())),
      request.colors ? points : 0);
  sample::PointColors point_colors;
  point_colors.rgb = color_span;
  request.options.colors = request.colors ? &point_colors : nullptr;

  // The driver sees plain values and the buffers, which no other code can reach yet.
  bool interrupted = false;
  sample::SampleOptions& options = request.options;
  const Sampled outcome = boundary::without_interpreter_lock(interrupted, [&] {
    if (request.need_key) options.key = random::os_sample_key();
    return driver(options, position_span, normal_span);
  });
  options.colors = nullptr;
  if (interrupted) return boundary::fetch_pending();  // a signal handler raised

  if (const auto* refusal = std::get_if<std::string>(&outcome)) {
    return PendingException::deferred(PyExc_ValueError, *refusal);
  }
  const auto& sampled = std::get<sample::SampleOutcome>(outcome);
  if (std::holds_alternative<sample::NoArea>(sampled)) {
    return value_error(sample::NO_AREA_MESSAGE);
  }
  if (const auto* unseen = std::get_if<sample::NoVisibleSurface>(&sampled)) {
    return value_error(sample::no_visible_message(*unseen, options.view_directions));
  }
  if (const auto* error = std::get_if<mesh_io::ReadError>(&sampled)) {
    return file_read_error(*error, filename, refusal);
  }
  if (std::get<std::uint64_t>(sampled) == 0 && points != 0) {
    for (PyObject* made :
         {positions.get(), normal_bytes.get(), colors.get(), face_indices.get(), weights.get()}) {
      if (PyByteArray_Resize(made, 0) < 0) return boundary::fetch_pending();
    }
  }
  // A mesh that stores no colour (and has faces) has None for its points' colours; one with
  // textures, (colours, textures) for Python to finish.
  const bool colored = point_colors.stored || std::get<std::uint64_t>(sampled) == 0;
  PyRef textured;
  if (request.colors && !point_colors.textures.empty()) {
    textured =
        boundary::checked(PyTuple_Pack(2, colors.get(), textures_of(point_colors.textures).get()));
  }
  // (positions, normals), then the colours, the faces and the weights, each when asked for.
  PyRef result = boundary::checked(PyList_New(0));
  for (PyObject* part :
       {positions.get(), normal_bytes.get(), colors.get(), face_indices.get(), weights.get()}) {
    const bool asked = (part != colors.get() || request.colors) &&
                       (part != face_indices.get() || request.faces) &&
                       (part != weights.get() || request.weights);
    if (!asked) continue;
    PyObject* item = part;
    if (part == colors.get() && !colored) item = Py_None;
    if (part == colors.get() && textured) item = textured.get();
    if (PyList_Append(result.get(), item) < 0) return boundary::fetch_pending();
  }
  return boundary::checked(PyList_AsTuple(result.get()));
}

PyObject* sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return boundary::guard<SampleFaults>([&] { return sample(module, args, nargs, kwnames); });
}

}  // namespace vertisift::tools
