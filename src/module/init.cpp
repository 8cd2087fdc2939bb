// Module definition and initialisation: the one exported symbol, PyInit_vertisift.
//
// The module is made once per process, bound to the first interpreter that imports it, and
// cached: importing again, also after removal from sys.modules, hands back the same object.

#include "module/call.h"  // first: Python.h precedes the standard headers

#include <atomic>
#include <cstdint>
#include <optional>

#include "base/fault.h"
#include "module/entry_guard.h"

namespace vertisift::module {
namespace {

// The module is created for the C API version PYTHON_API_VERSION (1013, from the Python
// headers), as PyModule_Create would pass it.
static_assert(PYTHON_API_VERSION == 1013);

// Fixed by compatibility, like every text the module shows: it must stay exactly so.
constexpr const char* SUBINTERPRETER_MESSAGE =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// No per-module state, and no method table: module_setup adds the function itself. Without
// slots, initialisation is single-phase.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vertisift",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The name and the signature line of the docstring are fixed by compatibility.
PyMethodDef reduce_method = {
    .ml_name = "reduce_stl_points",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_stl_points_entry)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "reduce_stl_points(file_path, clusters)\n--\n\n",
};

std::atomic<std::int64_t> bound_interpreter_id{-1};
PyObject* cached_module = nullptr;  // holds its own reference for the life of the process
PyObject* interned_name = nullptr;
PyObject* interned_all = nullptr;

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    PyRef made = checked(PyUnicode_InternFromString(text));
    if (slot == nullptr) slot = made.release();
  }
  return slot;
}

std::optional<PendingException> module_setup(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return fetch_pending();
  PyRef function = PyRef::steal(PyCMethod_New(&reduce_method, module, module_name.get(), nullptr));
  module_name = PyRef();
  if (!function) return fetch_pending();

  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(interned_name, "__name__")));
  if (!name) return fetch_pending();
  if (!PyUnicode_Check(name.get())) {
    return boundary::conversion_error(name.get(), "PyString");
  }

  PyObject* all_name = interned(interned_all, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PendingException error = fetch_pending();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
    all = checked(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) return fetch_pending();
  } else if (!PyList_Check(all.get())) {
    return boundary::conversion_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    base::raise_fault("could not append __name__ to __all__: " +
                      boundary::describe_pending_error());
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fetch_pending();
  return std::nullopt;
}

Outcome<PyRef> initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fetch_pending();
  std::int64_t expected = -1;
  if (!bound_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return PendingException::deferred(PyExc_ImportError, SUBINTERPRETER_MESSAGE);
  }
  if (cached_module != nullptr) return PyRef::borrow(cached_module);

  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return fetch_pending();
  if (auto error = module_setup(module.get())) return std::move(*error);
  if (cached_module == nullptr) cached_module = module.release();
  return PyRef::borrow(cached_module);
}

}  // namespace
}  // namespace vertisift::module

PyMODINIT_FUNC PyInit_vertisift(void) {
  return vertisift::module::entry_guard([] { return vertisift::module::initialise(); });
}
