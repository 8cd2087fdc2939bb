// The boundary of the tools' native sample(): converts the Python arguments to plain values,
// runs the sampling driver with the interpreter lock released, and hands back two bytearrays
// of float32 triples that the caller wraps as arrays without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// sample(path, count, method, seed, normals, distinct) -> (positions, normals)
//   path: str or os.PathLike; count: int >= 0; method: 0 vertices, 1 surface;
//   seed: None or int in [0, 2**64); normals: 0 file, 1 geometry, 2 auto; distinct: bool.
// Each bytearray holds count * 12 bytes, or none for a mesh without faces.
PyObject* sample_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vertisift::tools
