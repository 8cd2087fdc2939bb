// The boundary of read_mesh() and sample_mesh(): a mesh file to arrays, and the sampling of a
// mesh that is already in memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// read_mesh(path, *, format, strict, data=None, side_files=None)
//   -> (positions, triangles, skipped)
//   positions: a buffer of float32 triples, one per vertex; triangles: a buffer of uint32
//   triples, one per triangle (polygons fanned); skipped: the faces of fewer than three
//   corners left out. Both buffers are the native blocks themselves, lent without a copy.
//   format, strict, data and side_files as for sample().
PyObject* read_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// formats() -> ((name, (suffix, ...)), ...)
//   The formats that read_mesh() and sample() read, from the table of formats: each one's
//   name (their `format`) and its suffixes in lower case, in the table's order.
PyObject* formats_entry(PyObject* module, PyObject* unused);

// sample_mesh(vertices, faces, n, *, method, seed, normals, distinct, candidates, return_faces)
//   -> as sample()
//   vertices: a C-contiguous buffer of float32 triples; faces: one of uint32 triples, each
//   below the number of vertices (the package checks the shapes and the indices); the rest as
//   for sample(). ValueError when a face uses a vertex with a coordinate that is NaN or
//   infinite.
PyObject* sample_mesh_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace vertisift::tools
