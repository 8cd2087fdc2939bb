// The boundary of the tools' ray caster: the type RayScene, a ray tree over a mesh's
// triangles (rays/triangle_bvh.h), built and queried with the interpreter lock released.
//
// RayScene(vertices, faces, morton=False): vertices a C-contiguous buffer of float32 triples,
// faces one of uint32 triples, each index below the vertex count (ValueError otherwise); the
// tree built by area, or in Morton order with `morton`.
//   cast(origins, directions, t_min, t_max, t, faces, weights) -> None: the closest hit of
//     each ray, written into the caller's buffers: float32 t (inf for none), int64 faces (-1
//     for none) and float32 corner weights (three per ray, zeros for none).
//   occluded(origins, directions, t_min, t_max, hits) -> None: whether each ray hits
//     anything, into a buffer of bools.
//   triangle_count, nbytes, depth: what the tree holds.
// origins and directions are float32 triples, as many of each; t_min and t_max floats.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

// The type, made once per module (held in its state).
PyObject* make_ray_scene_type(PyObject* module);

// view_directions(count) -> bytearray of `count` float32 triples: the unit directions a visible
// sample looks along (rays/visibility.h), in the order it tries them; count in [1, 4096].
PyObject* view_directions_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vertisift::tools
