// The boundary of the tools' native sample(): converts the Python arguments to plain values,
// runs the sampling driver with the interpreter lock released, and hands back two bytearrays
// of float32 triples that the caller wraps as arrays without copying. sample_mesh() (in
// mesh_call.h) shares the options, the run and the result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "boundary/pending.h"
#include "formats/mesh_file.h"
#include "mesh_io/path_text.h"
#include "sample/sampling.h"
#include "tools/arguments.h"

namespace vertisift::tools {

// sample(path, n, *, method, normals, distinct, candidates, colors, return_faces,
//        return_barycentric, seed, visible, view_directions, format, strict, data=None,
//        side_files=None)
//   -> (positions, normals), then colours, face_indices and weights each when asked for
//   path: str (as os.fspath gives it); n: int >= 0; method: "vertices", "surface", "fps" or
//   "poisson"; normals: "auto", "file", "geometry", "smooth" or "outward"; visible: bool;
//   view_directions: None or an int in [1, 4096], with a visible draw alone; distinct (with
//   "vertices" alone), strict, return_faces and return_barycentric (with a method on the surface
//   alone): bool; candidates: None for the method's default, or an int of at least n, for "fps" and
//   "poisson" alone; colors: bool; seed: None or int in [0, 2**64); format: a name of the
//   table of formats; data: None to read the file at path, or the model's bytes (a
//   C-contiguous buffer), path then only naming it; side_files: None, or with data a callable
//   side_files(name) -> bytes-like that gives the files the model names (side_files_call.h).
// The converters below check each argument's type and rules, in the words of
// vertisift_tools.sample() and in the table's order, which is the order of precedence of
// their errors. The point, colour and weight bytearrays hold n * 12 bytes (float32 triples),
// the face indices (int64) n * 8, or none for a mesh without faces. The colours are RGB in
// [0, 1] (sample/point_colors.h: the colour stream times the material's diffuse colour at
// each point), or None in place of the bytearray when the mesh stores no colour; when some
// points lie on textured materials, (colours, textures) in its place, the textures a tuple of
// (name, material names, the file's bytes or None, why they are None, the points' indices as
// int64, their texture coordinates as float32 pairs) for the caller to multiply in.
PyObject* sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// check_draw(n, *, method, normals, distinct, candidates, colors, seed, visible,
//            view_directions)
//   -> (n, distinct, candidates, colors, seed, visible, view_directions), as ints and bools,
//   candidates None when given None; visible True for a visible draw (visible=True or "outward"
//   normals), view_directions then its number of directions, else None
// The draw's arguments checked as sample() checks them, for callers that check them before
// they draw (a dataset, when it is made).
PyObject* check_draw_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

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

boundary::PendingException value_error(std::string message);

// The draw's arguments (n, method, normals, distinct, candidates, colors, return_faces,
// return_barycentric, seed) as plain values, each filled by its converter, in this order:
// each converter's rules see the values converted before it.
struct SampleRequest {
  std::uint64_t count = 0;
  sample::SampleOptions options;
  bool need_key = false;              // no seed: the key is drawn from the system, without the lock
  std::optional<std::uint64_t> seed;  // the seed given, if any
  bool default_candidates = false;    // candidates=None: the method's own number
  bool colors = false;                // the colour of each point is asked for
  bool faces = false;                 // the face of each point is asked for
  bool weights = false;               // and the weights of its face's corners
};
Conversion convert_count(PyObject* value, SampleRequest& into);
Conversion convert_method(PyObject* value, SampleRequest& into);
Conversion convert_normals(PyObject* value, SampleRequest& into);
Conversion convert_distinct(PyObject* value, SampleRequest& into);
Conversion convert_candidates(PyObject* value, SampleRequest& into);
Conversion convert_colors(PyObject* value, SampleRequest& into);
Conversion convert_return_faces(PyObject* value, SampleRequest& into);
Conversion convert_return_barycentric(PyObject* value, SampleRequest& into);
Conversion convert_seed(PyObject* value, SampleRequest& into);
Conversion convert_visible(PyObject* value, SampleRequest& into);
Conversion convert_view_directions(PyObject* value, SampleRequest& into);

// A converter of the draw's arguments as one of a function's whose typed arguments hold the
// draw as `request`.
template <class Arguments, Conversion (*Convert)(PyObject*, SampleRequest&)>
Conversion of_request(PyObject* value, Arguments& into) {
  return Convert(value, into.request);
}

// A mesh file's path: the str it was given as (the exception's `filename`) and its text.
struct FilePath {
  boundary::PyRef filename;
  mesh_io::PathText text;
};
Conversion convert_path(PyObject* value, FilePath& into);

// The arguments (format, strict) as plain values: the format by its name in the table of
// formats (formats/registry.h), which holds the text.
struct FileReading {
  std::string_view format = formats::STL_FORMAT;
  stl::StlDialect dialect = stl::StlDialect::Lenient;
};
Conversion convert_format(PyObject* value, FileReading& into);
Conversion convert_strict(PyObject* value, FileReading& into);

// What a sampling run gives: the driver's outcome, or a ValueError's text for input that it
// refused before sampling.
using Sampled = std::variant<sample::SampleOutcome, std::string>;
using SampleDriver =
    std::function<Sampled(sample::SampleOptions& options, std::span<base::Point3> positions,
                          std::span<base::Point3> normals)>;

// Makes the result's two bytearrays, runs `driver` over them with the interpreter lock
// released, and turns its outcome into the result or the exception (a read error's with
// `filename`, a refusal of the reader as `refusal`: see read_errors.h).
boundary::Outcome<boundary::PyRef> run_sample(SampleRequest& request, const SampleDriver& driver,
                                              PyObject* filename, PyObject* refusal);

}  // namespace vertisift::tools
