// The conversions of arguments and failures that both modules make at their boundary.
#pragma once

#include "boundary/pending.h"  // first: Python.h precedes the standard headers

#include <cstdint>
#include <string_view>

#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"

namespace vertisift::boundary {

// The path text of a str (as os.fspath returns it): its UTF-8, or, for a str with unpaired
// surrogates (names that are not valid UTF-8, as os.listdir returns them), its wide code
// units, which the reader turns back into the original bytes. Anything but a str is the
// TypeError "'{type}' object cannot be converted to 'PyString'".
Outcome<mesh_io::PathText> path_text(PyObject* text);

// An int, or anything with __index__, in [0, 2^64): TypeError for other types, OverflowError
// for a negative value or one of 2^64 or more, as PyLong_AsUnsignedLongLong raises them.
Outcome<std::uint64_t> to_u64(PyObject* value);

// The OSError for a failed read, its text `prefix` followed by the reader's message. Without
// `filename` (null), the exception has that text alone, and errno None; with it, errno is
// the system's code (None for a file the reader refuses), strerror the text and filename the
// given object, and the exception takes its subclass from the code (FileNotFoundError, ...).
PendingException read_error(const mesh_io::ReadError& error, std::string_view prefix,
                            PyObject* filename);

}  // namespace vertisift::boundary
