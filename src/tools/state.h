// The state of the tools' native module, one per module object (so one per interpreter): the
// type of the buffers read_mesh() lends, and the exception classes of a file that its reader
// refuses, which the package registers at import (vertisift_tools.sampling).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vertisift::tools {

struct ToolsState {
  PyObject* buffer_type;
  PyObject* ray_scene_type;   // RayScene (ray_call.h)
  PyObject* mesh_read_error;  // null until registered
  PyObject* stl_read_error;   // null until registered
};

inline ToolsState& state_of(PyObject* module) {
  return *static_cast<ToolsState*>(PyModule_GetState(module));
}

}  // namespace vertisift::tools
