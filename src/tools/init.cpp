// The tools' native module, vertisift_tools._native: sample(), read_mesh(), formats(),
// sample_mesh(), check_draw(), farthest_point_sample() and multiply_texture() over the same
// core as the extension. Its one exported symbol is PyInit__native. Its state (state.h) is
// made for each module object, so it can be loaded in any interpreter. Every function takes
// its arguments by name as well (arguments.h).
#include "tools/draco_call.h"
#include "tools/mesh_buffer.h"
#include "tools/mesh_call.h"
#include "tools/ray_call.h"
#include "tools/read_errors.h"
#include "tools/sample_call.h"
#include "tools/spread_call.h"
#include "tools/state.h"
#include "tools/texture_call.h"

namespace vertisift::tools {
namespace {

template <class Entry>
PyMethodDef by_name(const char* name, Entry entry, const char* doc) {
  return {.ml_name = name,
          .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          .ml_flags = METH_FASTCALL | METH_KEYWORDS,
          .ml_doc = doc};
}

// The signatures of these texts are those of the tables in sample_call.cpp, mesh_call.cpp,
// spread_call.cpp and read_errors.cpp. Each function checks its arguments in the words of the
// package's function of the same name, which passes them on as its callers gave them.
PyMethodDef methods[] = {
    by_name("sample", sample_entry,
            "sample($module, path, n, *, method, normals, distinct, candidates, return_faces, "
            "return_barycentric, seed, visible, view_directions, format, strict)\n--\n\n"
            "Points of a mesh file as two bytearrays of float32 triples (positions, normals), "
            "then one of int64 face indices and one of float32 corner weights, each when "
            "asked.\nUse vertisift_tools.sample()."),
    by_name("read_mesh", read_mesh_entry,
            "read_mesh($module, path, *, format, strict)\n--\n\n"
            "A mesh file as buffers of float32 positions and uint32 triangles, and the count of "
            "faces left out.\nUse vertisift_tools.read_mesh()."),
    {.ml_name = "formats",
     .ml_meth = formats_entry,
     .ml_flags = METH_NOARGS,
     .ml_doc = "formats($module)\n--\n\n"
               "The formats that read_mesh() and sample() read, as (name, suffixes) pairs."},
    by_name("sample_mesh", sample_mesh_entry,
            "sample_mesh($module, vertices, faces, n, *, method, normals, distinct, candidates, "
            "return_faces, return_barycentric, seed, visible, view_directions)\n--\n\n"
            "Points of a mesh in memory (float32 or float64 vertices, faces of any integer "
            "type), as sample() gives them.\nUse vertisift_tools.sample_mesh()."),
    by_name("check_draw", check_draw_entry,
            "check_draw($module, n, *, method, normals, distinct, candidates, seed, visible, "
            "view_directions)\n--\n\n"
            "The arguments of a draw checked as sample() checks them: (n, distinct, "
            "candidates, colors, seed, visible, view_directions), candidates None when given "
            "None, view_directions None for a draw that is not visible."),
    by_name("farthest_point_sample", farthest_point_sample_entry,
            "farthest_point_sample($module, points, *, double, k, start)\n--\n\n"
            "The indices of farthest-point sampling, as a bytearray of int64.\n"
            "Use vertisift_tools.farthest_point_sample()."),
    by_name("multiply_texture", multiply_texture_entry,
            "multiply_texture($module, colors, points, uvs, texels, *, width, height, channels, "
            "floats)"
            "\n--\n\n"
            "Multiplies the colours of the points by the texture at their texture coordinates, "
            "bilinear at texel centres, wrapping around.\n"
            "vertisift_tools.sample(colors=True) calls it for the textures it decodes."),
    {.ml_name = "view_directions",
     .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(view_directions_entry)),
     .ml_flags = METH_FASTCALL,
     .ml_doc = "view_directions($module, count)\n--\n\n"
               "The directions a visible sample looks along, as a bytearray of float32 "
               "triples."},
    by_name("register_read_errors", register_read_errors_entry,
            "register_read_errors($module, mesh_read_error, stl_read_error)\n--\n\n"
            "The OSError subclasses that a file its reader refuses is raised as: "
            "stl_read_error for STL, mesh_read_error for the other formats.\n"
            "vertisift_tools.sampling registers its MeshReadError and StlReadError."),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  ToolsState& state = state_of(module);
  install_draco_decoder();
  state.buffer_type = make_buffer_type(module);
  if (state.buffer_type == nullptr) return -1;
  state.ray_scene_type = make_ray_scene_type(module);
  if (state.ray_scene_type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "RayScene", state.ray_scene_type);
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ToolsState*>(PyModule_GetState(module));
  if (state != nullptr) {
    Py_VISIT(state->buffer_type);
    Py_VISIT(state->ray_scene_type);
    Py_VISIT(state->mesh_read_error);
    Py_VISIT(state->stl_read_error);
  }
  return 0;
}

int clear(PyObject* module) {
  auto* state = static_cast<ToolsState*>(PyModule_GetState(module));
  if (state != nullptr) {
    Py_CLEAR(state->buffer_type);
    Py_CLEAR(state->ray_scene_type);
    Py_CLEAR(state->mesh_read_error);
    Py_CLEAR(state->stl_read_error);
  }
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vertisift_tools._native",
    .m_doc = "The native part of vertisift_tools: reading and sampling mesh files.",
    .m_size = sizeof(ToolsState),
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = traverse,
    .m_clear = clear,
    .m_free = free_module,
};

}  // namespace
}  // namespace vertisift::tools

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vertisift::tools::definition); }
