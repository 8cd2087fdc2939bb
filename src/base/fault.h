// Internal faults: broken invariants and other conditions a call cannot recover from.
// They are C++ exceptions that unwind to the entry guard at the Python boundary, which turns
// them into the module's panic exception. A fault raised on a worker thread is carried back
// to the calling thread by the pool and rethrown there.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vertisift::base {

class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes a diagnostic (thread, source location, message) to the standard error stream and
// throws InternalFault carrying the message.
[[noreturn]] void raise_fault(const std::string& message,
                              std::source_location where = std::source_location::current());

// Writes raise_fault's diagnostic alone, for a fault thrown without it (one that a module may
// report to its users in words of their own instead).
void report_fault(const std::string& message, const std::source_location& where);

}  // namespace vertisift::base
