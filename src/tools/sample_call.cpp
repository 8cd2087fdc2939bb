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

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

constexpr Py_ssize_t SAMPLE_ARGUMENTS = 10;
constexpr std::size_t BYTES_PER_POINT = 3 * sizeof(float);
constexpr std::size_t BYTES_PER_FACE_INDEX = sizeof(std::uint64_t);
// What a candidate of the farthest-point and the poisson sample takes while they choose:
// position, normal, face and the chooser's own records.
constexpr std::uint64_t BYTES_PER_CANDIDATE = 64;
constexpr std::uint64_t METHOD_COUNT = 4;   // 0 vertices, 1 surface, 2 farthest point, 3 poisson
constexpr std::uint64_t NORMALS_COUNT = 4;  // 0 file, 1 geometry, 2 auto, 3 smooth
constexpr std::uint64_t FORMAT_COUNT = 4;   // 0 STL, 1 OFF, 2 OBJ, 3 PLY

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

Outcome<PyRef> sample(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != SAMPLE_ARGUMENTS) {
    return PendingException::deferred(PyExc_TypeError,
                                      "sample() takes exactly 10 positional arguments");
  }
  PyRef filename = PyRef::steal(PyOS_FSPath(args[0]));
  if (!filename) return boundary::fetch_pending();
  auto path = boundary::path_text(filename.get());
  if (!path.ok()) return std::move(path.error());
  auto request = sample_request(args + 1, args[8], args[9]);
  if (!request.ok()) return std::move(request.error());
  auto reading = file_reading(args[6], args[7]);
  if (!reading.ok()) return std::move(reading.error());
  return run_sample(
      request.value(),
      [&](sample::SampleOptions& options, std::span<base::Point3> positions,
          std::span<base::Point3> normals) {
        return sample::sample_file(path.value(), reading.value().format, reading.value().dialect,
                                   positions.size(), options, positions, normals);
      },
      filename.get());
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

Outcome<SampleRequest> sample_request(PyObject* const* args, PyObject* candidates,
                                      PyObject* faces) {
  auto count = boundary::to_u64(args[0]);
  if (!count.ok()) return std::move(count.error());
  auto method = boundary::to_u64(args[1]);
  if (!method.ok()) return std::move(method.error());
  auto normals = boundary::to_u64(args[3]);
  if (!normals.ok()) return std::move(normals.error());
  if (method.value() >= METHOD_COUNT) return value_error("unknown sampling method");
  if (normals.value() >= NORMALS_COUNT) return value_error("unknown normals mode");
  const int distinct = PyObject_IsTrue(args[4]);
  if (distinct < 0) return boundary::fetch_pending();
  const int with_faces = PyObject_IsTrue(faces);
  if (with_faces < 0) return boundary::fetch_pending();
  auto candidate_count = boundary::to_u64(candidates);
  if (!candidate_count.ok()) return std::move(candidate_count.error());

  SampleRequest request;
  request.count = count.value();
  sample::SampleOptions& options = request.options;
  constexpr sample::SampleMethod METHODS[METHOD_COUNT] = {
      sample::SampleMethod::Vertices, sample::SampleMethod::Surface, sample::SampleMethod::Farthest,
      sample::SampleMethod::Poisson};
  constexpr sample::NormalSource SOURCES[NORMALS_COUNT] = {
      sample::NormalSource::File, sample::NormalSource::Geometry, sample::NormalSource::Auto,
      sample::NormalSource::Smooth};
  options.method = METHODS[method.value()];
  options.normals = SOURCES[normals.value()];
  options.distinct = distinct != 0;
  const bool chooses = method.value() >= 2;
  if (chooses && candidate_count.value() < request.count) {
    return value_error("candidates must be at least the number of points");
  }

  options.candidates = chooses ? candidate_count.value() : 0;
  if (with_faces != 0 && options.method == sample::SampleMethod::Vertices) {
    return value_error("faces are given only by the methods on the surface");
  }
  request.faces = with_faces != 0;
  request.need_key = args[2] == Py_None;
  if (!request.need_key) {
    auto seed = boundary::to_u64(args[2]);
    if (!seed.ok()) return std::move(seed.error());
    options.key = random::derive_sample_key(seed.value());
  }
  return request;
}

Outcome<FileReading> file_reading(PyObject* format, PyObject* strict) {
  auto code = boundary::to_u64(format);
  if (!code.ok()) return std::move(code.error());
  if (code.value() >= FORMAT_COUNT) return value_error("unknown mesh format");
  const int is_strict = PyObject_IsTrue(strict);
  if (is_strict < 0) return boundary::fetch_pending();
  return FileReading{static_cast<formats::MeshFormat>(code.value()),
                     is_strict != 0 ? stl::StlDialect::Strict : stl::StlDialect::Lenient};
}

Outcome<PyRef> run_sample(SampleRequest& request, const SampleDriver& driver, PyObject* filename) {
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
  PyRef positions = std::move(made_positions.value());
  PyRef normal_bytes = std::move(made_normals.value());
  PyRef face_indices = std::move(made_faces.value());
  request.options.face_indices = std::span<std::uint64_t>(
      reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(face_indices.get())),
      request.faces ? points : 0);
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
    return boundary::read_error(*error, "", filename);
  }
  if (std::get<std::uint64_t>(sampled) == 0 && points != 0) {
    for (PyObject* made : {positions.get(), normal_bytes.get(), face_indices.get()}) {
      if (PyByteArray_Resize(made, 0) < 0) return boundary::fetch_pending();
    }
  }
  if (request.faces) {
    return boundary::checked(
        PyTuple_Pack(3, positions.get(), normal_bytes.get(), face_indices.get()));
  }
  return boundary::checked(PyTuple_Pack(2, positions.get(), normal_bytes.get()));
}

PyObject* sample_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<SampleFaults>([&] { return sample(args, nargs); });
}

}  // namespace vertisift::tools
