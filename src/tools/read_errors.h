// The exceptions of a mesh file that cannot be read, raised by the native module itself: the
// system's OSError subclass (FileNotFoundError, ...) for an error of the operating system, and
// for a file its reader refuses the class the package registered for the format
// (StlReadError for STL, MeshReadError for the others), each with errno, strerror and
// filename.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "boundary/pending.h"
#include "formats/mesh_file.h"
#include "mesh_io/read_error.h"

namespace vertisift::tools {

// register_read_errors(mesh_read_error, stl_read_error) -> None
//   The classes (subclasses of OSError) that a reader's refusal is raised as from now on;
//   until then it is a plain OSError.
PyObject* register_read_errors_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

// The class that a refusal of the reader of `format` is raised as (not a new reference), or
// null when none is registered.
PyObject* refusal_type(PyObject* module, std::string_view format);

// The exception for `error` in reading the file `filename` (the str the path was given as):
// OSError(errno, strerror, filename) of the system's subclass for an OS error, or
// `refusal`(None, strerror, filename) for a refusal when `refusal` is not null.
boundary::PendingException file_read_error(const mesh_io::ReadError& error, PyObject* filename,
                                           PyObject* refusal);

}  // namespace vertisift::tools
