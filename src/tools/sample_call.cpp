#include "tools/sample_call.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "boundary/conversions.h"
#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "sample/sampling.h"
#include "tools/read_errors.h"

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
    {.name = "file", .value = sample::NormalSource::File},
    {.name = "geometry", .value = sample::NormalSource::Geometry},
    {.name = "auto", .value = sample::NormalSource::Auto},
    {.name = "smooth", .value = sample::NormalSource::Smooth},
};

PendingException cannot_hold(std::uint64_t count, const char* what) {
  return PendingException::deferred(PyExc_MemoryError,
                                    "cannot hold " + std::to_string(count) + " " + what);
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
};

constexpr Parameter<SampleArguments> SAMPLE_PARAMETERS[] = {
    {.name = "path",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_path(value, into.path); }},
    {.name = "n", .convert = of_request<SampleArguments, convert_count>},
    {.name = "method", .convert = of_request<SampleArguments, convert_method>},
    {.name = "seed", .convert = of_request<SampleArguments, convert_seed>},
    {.name = "normals", .convert = of_request<SampleArguments, convert_normals>},
    {.name = "distinct", .convert = of_request<SampleArguments, convert_distinct>},
    {.name = "format",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_format(value, into.reading); }},
    {.name = "strict",
     .convert = [](PyObject* value,
                   SampleArguments& into) { return convert_strict(value, into.reading); }},
    {.name = "candidates", .convert = of_request<SampleArguments, convert_candidates>},
    {.name = "return_faces", .convert = of_request<SampleArguments, convert_return_faces>},
    {.name = "return_barycentric",
     .convert = of_request<SampleArguments, convert_return_barycentric>},
};
constexpr Signature<SampleArguments> SAMPLE_SIGNATURE = {
    .function = "sample",
    .positional = 2,
    .parameters = SAMPLE_PARAMETERS,
};

Outcome<PyRef> sample_impl(PyObject* module, SampleArguments& arguments) {
  const FileReading& reading = arguments.reading;
  return run_sample(
      arguments.request,
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) {
        return sample::sample_file(arguments.path.text, reading.format, reading.dialect,
                                   positions.size(), options, positions, normals);
      },
      arguments.path.filename.get(), refusal_type(module, reading.format));
}

Outcome<PyRef> sample(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  SampleArguments arguments;
  Conversion bound = bind(SAMPLE_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  return sample_impl(module, arguments);
}

}  // namespace

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

PendingException value_error(const char* message) {
  return PendingException::deferred(PyExc_ValueError, message);
}

Conversion convert_count(PyObject* value, SampleRequest& into) {
  return store(boundary::to_u64(value), into.count);
}

Conversion convert_method(PyObject* value, SampleRequest& into) {
  return store(named<sample::SampleMethod>(value, METHOD_NAMES, "sampling method"),
               into.options.method);
}

Conversion convert_seed(PyObject* value, SampleRequest& into) {
  auto seed = to_optional_u64(value);
  if (!seed.ok()) return std::move(seed.error());
  into.need_key = !seed.value().has_value();
  if (seed.value()) into.options.key = random::derive_sample_key(*seed.value());
  return Converted{};
}

Conversion convert_normals(PyObject* value, SampleRequest& into) {
  return store(named<sample::NormalSource>(value, NORMALS_NAMES, "normals mode"),
               into.options.normals);
}

Conversion convert_distinct(PyObject* value, SampleRequest& into) {
  return store(to_bool(value), into.options.distinct);
}

Conversion convert_candidates(PyObject* value, SampleRequest& into) {
  return store(boundary::to_u64(value), into.options.candidates);
}

Conversion convert_return_faces(PyObject* value, SampleRequest& into) {
  return store(to_bool(value), into.faces);
}

Conversion convert_return_barycentric(PyObject* value, SampleRequest& into) {
  return store(to_bool(value), into.weights);
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
  auto strict = to_bool(value);
  if (!strict.ok()) return std::move(strict.error());
  into.dialect = strict.value() ? stl::StlDialect::Strict : stl::StlDialect::Lenient;
  return Converted{};
}

Outcome<PyRef> run_sample(SampleRequest& request, const SampleDriver& driver, PyObject* filename,
                          PyObject* refusal) {
  // The package checks these rules in its own words before it calls; they stand here too
  // because the drivers would write past their buffers without them.
  const bool chooses = request.options.method == sample::SampleMethod::Farthest ||
                       request.options.method == sample::SampleMethod::Poisson;
  if (chooses && request.options.candidates < request.count) {
    return value_error("candidates must be at least the number of points");
  }
  if (!chooses) request.options.candidates = 0;
  if ((request.faces || request.weights) &&
      request.options.method == sample::SampleMethod::Vertices) {
    return value_error("faces are given only by the methods on the surface");
  }
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
  auto made_faces = result_bytes(
      request.faces ? static_cast<std::size_t>(points * BYTES_PER_FACE_INDEX) : 0, points);
  if (!made_faces.ok()) return std::move(made_faces.error());
  auto made_weights = result_bytes(
      request.weights ? static_cast<std::size_t>(points * BYTES_PER_POINT) : 0, points);
  if (!made_weights.ok()) return std::move(made_weights.error());
  PyRef positions = std::move(made_positions.value());
  PyRef normal_bytes = std::move(made_normals.value());
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

  // The driver sees plain values and the two buffers, which no other code can reach yet.
  bool interrupted = false;
  sample::SampleOptions& options = request.options;
  const Sampled outcome = boundary::without_interpreter_lock(interrupted, [&] {
    if (request.need_key) options.key = random::os_sample_key();
    return driver(options, position_span, normal_span);
  });
  if (interrupted) return boundary::fetch_pending();  // a signal handler raised

  if (const auto* refusal = std::get_if<std::string>(&outcome)) {
    return PendingException::deferred(PyExc_ValueError, *refusal);
  }
  const auto& sampled = std::get<sample::SampleOutcome>(outcome);
  if (std::holds_alternative<sample::NoArea>(sampled)) {
    return value_error(sample::NO_AREA_MESSAGE);
  }
  if (const auto* error = std::get_if<mesh_io::ReadError>(&sampled)) {
    return file_read_error(*error, filename, refusal);
  }
  if (std::get<std::uint64_t>(sampled) == 0 && points != 0) {
    for (PyObject* made :
         {positions.get(), normal_bytes.get(), face_indices.get(), weights.get()}) {
      if (PyByteArray_Resize(made, 0) < 0) return boundary::fetch_pending();
    }
  }
  // (positions, normals), then the faces and the weights, each when asked for.
  PyRef result = boundary::checked(PyList_New(0));
  for (PyObject* part : {positions.get(), normal_bytes.get(), face_indices.get(), weights.get()}) {
    const bool asked =
        (part != face_indices.get() || request.faces) && (part != weights.get() || request.weights);
    if (asked && PyList_Append(result.get(), part) < 0) return boundary::fetch_pending();
  }
  return boundary::checked(PyList_AsTuple(result.get()));
}

PyObject* sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return boundary::guard<SampleFaults>([&] { return sample(module, args, nargs, kwnames); });
}

}  // namespace vertisift::tools
