// The text of an operating-system error code, as every message of the module shows it.
#pragma once

#include <string>

namespace vertisift::base {

// The system's message for errno `code`, then " (os error N)": "No such file or directory
// (os error 2)". The form is fixed by compatibility and must stay exactly so.
std::string os_error_text(int code);

}  // namespace vertisift::base
