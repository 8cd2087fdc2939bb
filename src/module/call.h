// The call boundary of reduce_stl_points: arguments in, converted, handed to the driver, and
// its points or its read failure turned into the Python result or an IOError.
#pragma once

#include "mesh_io/path_text.h"
#include "module/entry_guard.h"
#include "reduce/pipeline.h"

namespace vertisift::module {

// The fast-call entry point (METH_FASTCALL | METH_KEYWORDS).
PyObject* reduce_stl_points_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

struct Arguments {
  PyObject* file_path;  // borrowed
  PyObject* clusters;   // borrowed
};

Outcome<Arguments> extract_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Outcome<mesh_io::PathText> to_path(PyObject* file_path);
Outcome<unsigned long long> to_count(PyObject* clusters);
PendingException argument_error(const char* name, PendingException error);
PyRef to_python_result(const reduce::ReducedPoints& points);

}  // namespace vertisift::module
