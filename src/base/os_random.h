// The operating system's source of cryptographic random bytes (getrandom).
#pragma once

#include <cstddef>

namespace vertisift::base {

// Fills `size` bytes; returns 0, or the errno of the failure.
int fill_os_random(void* dest, std::size_t size);

}  // namespace vertisift::base
