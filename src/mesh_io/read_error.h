// ReadError: why reading a mesh file failed, as a value. Every reading operation returns
// either its result or a ReadError; the first error ends the reading and nothing partial
// survives. Only the display text ever reaches the user; the kind is never shown.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "base/result.h"

namespace vertisift::mesh_io {

enum class ReadErrorKind {
  InvalidData,    // content that breaks the format
  UnexpectedEof,  // the file ends where more is required
  InvalidInput,   // a path that cannot be handed to the system
  Os,             // an operating-system error; `os_code` holds errno
};

struct ReadError {
  ReadErrorKind kind = ReadErrorKind::InvalidData;
  int os_code = 0;
  std::string message;  // empty for Os errors

  static ReadError os(int code) { return {ReadErrorKind::Os, code, {}}; }
  static ReadError invalid_data(std::string text) {
    return {ReadErrorKind::InvalidData, 0, std::move(text)};
  }
  static ReadError unexpected_eof(std::string text) {
    return {ReadErrorKind::UnexpectedEof, 0, std::move(text)};
  }
  static ReadError invalid_input(std::string text) {
    return {ReadErrorKind::InvalidInput, 0, std::move(text)};
  }

  // The system's message for Os errors followed by " (os error N)"; the message otherwise.
  std::string display() const;
};

// A file that ends inside a fixed-size read. Fixed by compatibility: must stay exactly so.
inline constexpr const char* FILL_BUFFER_MESSAGE = "failed to fill whole buffer";

// Success of an operation without a value, or the error that ended it.
using ReadStatus = std::optional<ReadError>;

// A value or the ReadError that prevented it.
template <class T>
using ReadResult = base::Result<T, ReadError>;

}  // namespace vertisift::mesh_io
