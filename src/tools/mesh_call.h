// The boundary of read_mesh() and sample_mesh(): a mesh file to arrays, and the sampling of a
// mesh that is already in memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// read_mesh(path, format, strict) -> (positions, triangles, skipped)
//   positions: a buffer of float32 triples, one per vertex; triangles: a buffer of uint32
//   triples, one per triangle (polygons fanned); skipped: the faces of fewer than three
//   corners left out. Both buffers are the native blocks themselves, lent without a copy.
//   format and strict as for sample().
PyObject* read_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// sample_mesh(vertices, triangles, count, method, seed, normals, distinct, candidates, faces)
//   -> as sample()
//   vertices: a C-contiguous buffer of float32 triples; triangles: one of uint32 triples.
//   ValueError when a triangle names a vertex that is not there, or uses a vertex with a
//   coordinate that is NaN or infinite.
PyObject* sample_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// The module's state: the type of the buffers read_mesh lends.
struct ToolsState {
  PyObject* buffer_type;
};

}  // namespace vertisift::tools
