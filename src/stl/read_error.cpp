#include "stl/read_error.h"

#include "base/os_error.h"

namespace vertisift::stl {

std::string ReadError::display() const {
  if (kind != ReadErrorKind::Os) return message;
  return base::os_error_text(os_code);
}

}  // namespace vertisift::stl
