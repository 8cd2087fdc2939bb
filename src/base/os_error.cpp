#include "base/os_error.h"

#include <cstring>

namespace vertisift::base {

std::string os_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be into `buffer`.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  std::string shown(text);
  shown.append(" (os error ").append(std::to_string(code)).append(")");
  return shown;
}

}  // namespace vertisift::base
