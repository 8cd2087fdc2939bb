#include "stl/read_error.h"

#include <cstring>

namespace vertisift::stl {

std::string ReadError::display() const {
  if (kind != ReadErrorKind::Os) return message;
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be into `buffer`.
  const char* text = strerror_r(os_code, buffer, sizeof buffer);
  std::string shown(text);
  shown.append(" (os error ").append(std::to_string(os_code)).append(")");
  return shown;
}

}  // namespace vertisift::stl
