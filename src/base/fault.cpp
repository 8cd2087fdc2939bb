#include "base/fault.h"

#include <pthread.h>

#include <cstdio>

namespace vertisift::base {

void report_fault(const std::string& message, const std::source_location& where) {
  char thread_name[32] = "?";  // room for any name: the system's limit is 16 bytes
  pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
  std::fprintf(stderr, "vertisift: internal fault on thread '%s' at %s:%u: %s\n", thread_name,
               where.file_name(), static_cast<unsigned>(where.line()), message.c_str());
  std::fflush(stderr);
}

void raise_fault(const std::string& message, std::source_location where) {
  report_fault(message, where);
  throw InternalFault(message);
}

}  // namespace vertisift::base
