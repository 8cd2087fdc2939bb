// Per-thread storage made ready ahead of need.
//
// In a library loaded at run time, as the extension is, the thread-local blocks of the
// library and of the C++ runtime are allocated on each thread's first use of them, and the
// system's loader ends the process when that allocation fails. A first use can come late:
// the runtime's block is first needed when the thread throws its first exception, which may
// be the std::bad_alloc of memory that has just run out. prepare_thread_storage() makes both
// blocks exist; the workers call it as they start, the driver at the start of every call.
// The library's thread-local variables are all constant-initialised and trivially
// destructible, so none of them registers a destructor (another allocation) on first use.
#pragma once

namespace vertisift::base {

void prepare_thread_storage();

}  // namespace vertisift::base
