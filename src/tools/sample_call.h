// The boundary of the tools' native sample(): converts the Python arguments to plain values,
// runs the sampling driver with the interpreter lock released, and hands back two bytearrays
// of float32 triples that the caller wraps as arrays without copying. sample_mesh() (in
// mesh_call.h) shares the options, the run and the result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>

#include "boundary/pending.h"
#include "formats/mesh_file.h"
#include "sample/sampling.h"

namespace vertisift::tools {

// sample(path, count, method, seed, normals, distinct, format, strict, candidates, faces)
//   -> (positions, normals) or (positions, normals, face_indices)
//   path: str or os.PathLike; count: int >= 0; method: 0 vertices, 1 surface, 2 farthest
//   point, 3 poisson; seed: None or int in [0, 2**64); normals: 0 file, 1 geometry, 2 auto,
//   3 smooth; distinct: bool; format: 0 STL, 1 OFF, 2 OBJ, 3 PLY; strict: bool (STL only:
//   read as reduce_stl_points); candidates: int >= count for methods 2 and 3, else ignored;
//   faces: bool, for methods 1 to 3 only.
// The point bytearrays hold count * 12 bytes, the face indices (int64) count * 8, or none
// for a mesh without faces.
PyObject* sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// An internal fault in a function of the tools' native module is a RuntimeError that says so.
struct ToolFaults {
  static void raise(const char* message) {
    if (message == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "internal error in vertisift_tools._native");
    } else {
      PyErr_Format(PyExc_RuntimeError, "internal error in vertisift_tools._native: %s", message);
    }
  }
  static constexpr const char* DOUBLE_FAULT =
      "internal error in vertisift_tools._native while reporting one\n";
  // Not a fault of the module but of the system's limits: RuntimeError with the one line.
  static void refused_threads(const std::string& description) {
    PyErr_SetString(PyExc_RuntimeError, description.c_str());
  }
};

// What each function says when memory runs out after its counts were found to fit.
struct SampleFaults : ToolFaults {
  static constexpr const char* NO_MEMORY = "not enough memory to read the mesh and draw its points";
};
struct SampleMeshFaults : ToolFaults {
  static constexpr const char* NO_MEMORY = "not enough memory to draw the points";
};
struct ReadFaults : ToolFaults {
  static constexpr const char* NO_MEMORY = "not enough memory to read the mesh";
};
struct SpreadFaults : ToolFaults {
  static constexpr const char* NO_MEMORY = "not enough memory to choose the points";
};

// The memory the machine has (UINT64_MAX when the system does not say): more than half of it
// is never asked for, since such a result could never be made.
std::uint64_t physical_memory();

boundary::PendingException value_error(const char* message);

// The arguments (count, method, seed, normals, distinct) and (candidates, faces), checked.
struct SampleRequest {
  std::uint64_t count = 0;
  sample::SampleOptions options;
  bool need_key = false;  // no seed: the key is drawn from the system, without the lock
  bool faces = false;     // the face of each point is asked for
};
boundary::Outcome<SampleRequest> sample_request(PyObject* const* args, PyObject* candidates,
                                                PyObject* faces);

// The arguments (format, strict), checked.
struct FileReading {
  formats::MeshFormat format;
  stl::StlDialect dialect;
};
boundary::Outcome<FileReading> file_reading(PyObject* format, PyObject* strict);

// What a sampling run gives: the driver's outcome, or a ValueError's text for input that it
// refused before sampling.
using Sampled = std::variant<sample::SampleOutcome, std::string>;
using SampleDriver =
    std::function<Sampled(sample::SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals)>;

// Makes the result's two bytearrays, runs `driver` over them with the interpreter lock
// released, and turns its outcome into the result or the exception (a read error's with
// `filename`).
boundary::Outcome<boundary::PyRef> run_sample(SampleRequest& request, const SampleDriver& driver,
                                              PyObject* filename);

}  // namespace vertisift::tools
