// A model read from bytes that Python holds: the arguments `data` and `side_files` of sample()
// and read_mesh(), and the side files that a Python callable gives.
//
// Design: the model's bytes are held as a buffer (PyObject_GetBuffer) for the whole call, so
// that the reading runs with the interpreter lock released, as a file's does. CallbackSideFiles
// gets the names that pass the shared checks (mesh_io::check_side_file_name) and, with the lock
// taken back on the reading thread (boundary::with_interpreter_lock), calls the callable with
// the name as the model writes it; every object it returns stays held until the call ends,
// when the owner, on the calling thread and with the lock held, lets them go. An OSError of
// the callable is the side file's read error, as a missing or unreadable file in the model's
// folder is; any other exception is kept, stops the side files (SideFiles::stopped), and is
// what the call raises.
#pragma once

#include "boundary/pending.h"  // first: Python.h precedes the standard headers

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "mesh_io/side_files.h"
#include "tools/arguments.h"
#include "tools/buffer_view.h"

namespace vertisift::tools {

// The arguments (data, side_files): None for the file at the path, or a C-contiguous buffer of
// the model's bytes and None or the callable that gives its side files. The call's arguments
// outlive this, so the callable is borrowed.
struct ModelData {
  BufferView data;
  bool given = false;
  PyObject* side_files = nullptr;

  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(data.data()), data.bytes()};
  }
};
// TypeError "data must be None or a C-contiguous bytes-like object, not {type}".
Conversion convert_data(PyObject* value, ModelData& into);
// TypeError "side_files must be None or a callable, not {type}", and "side_files must be None
// when data is None" (files on disk have theirs beside them).
Conversion convert_side_files(PyObject* value, ModelData& into);

// The side files of a model in memory, given by `callable(name)`, or none when `callable` is
// null: every name that passes the checks is then missing (ENOENT). Made and destroyed with
// the interpreter lock held; opened only from the thread that released it.
class CallbackSideFiles final : public mesh_io::SideFiles {
 public:
  explicit CallbackSideFiles(PyObject* callable) : callable_(callable) {}
  bool stopped() const override { return raised_.has_value(); }

  // The exception that the callable raised and that ends the call, if any; taken once.
  std::optional<boundary::PendingException> take_raised();

 private:
  mesh_io::ReadResult<mesh_io::FileStream> open_checked(std::string_view name) override;
  // The callable's answer for `name`, with the lock held.
  mesh_io::ReadResult<mesh_io::FileStream> call(std::string_view name);

  PyObject* callable_;
  std::vector<std::unique_ptr<BufferView>> held_;
  std::optional<boundary::PendingException> raised_;
};

}  // namespace vertisift::tools
