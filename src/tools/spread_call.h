// The boundary of farthest_point_sample(): an array of points to the indices that exact
// farthest-point sampling chooses, worked out with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// farthest_point_sample(points, k, *, double, start) -> bytearray of k int64 indices
//   points: a C-contiguous buffer of (x, y, z) triples, float64 when `double` is true, else
//   float32; k: int, at most the number of points; start: int below it, 0 when k is 0 (the
//   package checks both). ValueError for a coordinate that is NaN or infinite.
PyObject* farthest_point_sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);

}  // namespace vertisift::tools
