// The tools' native module, vertisift_tools._native: one function, sample(), over the same
// core as the extension. Its one exported symbol is PyInit__native. It keeps no Python state
// between calls, so it can be loaded in any interpreter.
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

PyMethodDef methods[] = {
    {.ml_name = "sample",
     .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_entry)),
     .ml_flags = METH_FASTCALL,
     .ml_doc = "sample(path, n, method, seed, normals, distinct)\n--\n\n"
               "Points of an STL file as two bytearrays of float32 triples (positions, "
               "normals).\nUse vertisift_tools.sample(), which checks the arguments."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vertisift_tools._native",
    .m_doc = "The native part of vertisift_tools: sampling points of STL files.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vertisift::tools

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vertisift::tools::definition); }
