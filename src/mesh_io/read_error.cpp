#include "mesh_io/read_error.h"

#include "base/os_error.h"

namespace vertisift::mesh_io {

std::string ReadError::display() const {
  if (kind != ReadErrorKind::Os) return message;
  return base::os_error_text(os_code);
}

}  // namespace vertisift::mesh_io
