#include "base/os_random.h"

#include <sys/random.h>

#include <cerrno>

namespace vertisift::base {

int fill_os_random(void* dest, std::size_t size) {
  auto* out = static_cast<unsigned char*>(dest);
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return 0;
}

}  // namespace vertisift::base
