// The boundary of multiply_texture(): the points' colours multiplied by a decoded texture at
// their texture coordinates (sample/texture_lookup.h), with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// multiply_texture(colors, points, uvs, texels, *, width, height, channels, floats) -> None
//   colors: a writable buffer of float32 RGB triples, one per point of the sample; points:
//   int64 indices into them, each below their count; uvs: float32 (u, v) pairs, one per
//   index, finite; texels: width x height texels, row by row from the top, of `channels`
//   components (1: grey, 3: RGB, 4: RGB and one more), uint8 or, when `floats`, float32 in
//   [0, 1]; or, in place of the buffer, an image's (schema, array) capsules of the Arrow C
//   data interface (__arrow_c_array__), uint8 texels of one component or of four, read where
//   they lie (`channels` and `floats` do not apply). The package hands over what sample()
//   gave it and an image it decoded; ValueError for buffers that do not fit one another.
PyObject* multiply_texture_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace vertisift::tools
