// Native work with the interpreter lock released, and signals while a call blocks.
//
// A call that blocks in the system (a read from a FIFO whose writer is silent) must still stop
// when the user presses Ctrl-C, as Python's own reads do: the system call returns EINTR, the
// Python signal handlers run, and if one raises, the call ends with that exception. The core
// asks through base::InterruptCheck; the checks below answer for the two kinds of boundary.
// Signal handlers run on the interpreter's main thread only: a call on another thread just
// retries, as Python's reads there do.
#pragma once

#include "boundary/py_ref.h"  // first: Python.h precedes the standard headers

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <utility>

#include "base/interrupt.h"

namespace vertisift::boundary {

// For a call that holds the interpreter lock: runs the signal handlers at once. True when
// one raised; the exception is then pending.
inline bool handlers_raised(void*) { return PyErr_CheckSignals() != 0; }

namespace released_lock_detail {

// For a call that released the lock: takes it back for the handlers and releases it again.
// `context` is the released thread state, updated in place.
inline bool handlers_raised_released(void* context) {
  auto& saved = *static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(saved);
  interpreter_lock_released = false;
  const bool raised = PyErr_CheckSignals() != 0;
  interpreter_lock_released = true;
  saved = PyEval_SaveThread();
  return raised;
}

// The thread state that without_interpreter_lock released on this thread, while it runs.
inline thread_local PyThreadState** released_thread_state = nullptr;

}  // namespace released_lock_detail

// Runs `work()` with the interpreter lock released and returns what it returns, or rethrows
// its fault once the lock is back. `work` must not touch a Python object. On the main thread,
// a blocking read that a signal cuts short runs the signal handlers; when one raises, the
// reading fails with EINTR, and `interrupted` is set with the handler's exception pending.
//
// Taking the lock back at interpreter exit ends a daemon thread inside PyEval_RestoreThread,
// by a forced unwinding of its stack. That unwinding must pass through (a catch-all that
// swallowed it would abort the process), and interpreter_lock_released stays set during it,
// so the owners of Python references up the stack touch nothing.
template <class Work>
auto without_interpreter_lock(bool& interrupted, Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr fault;
  const bool main_thread = _PyOS_IsMainThread() != 0;
  PyThreadState* saved = PyEval_SaveThread();
  interpreter_lock_released = true;
  PyThreadState** outer = std::exchange(released_lock_detail::released_thread_state, &saved);
  {
    std::optional<base::InterruptCheck> check;
    if (main_thread) check.emplace(released_lock_detail::handlers_raised_released, &saved);
    try {
      result.emplace(work());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      fault = std::current_exception();
    }
    interrupted = check && check->stopped();
  }
  released_lock_detail::released_thread_state = outer;
  PyEval_RestoreThread(saved);
  interpreter_lock_released = false;
  if (fault) std::rethrow_exception(fault);
  return std::move(*result);
}

// Runs `work()` with the interpreter lock taken back, from inside the work of
// without_interpreter_lock on this thread (a core stage that needs a Python package: the
// Draco decoder), and releases it again; none when this thread released no lock. `work` must
// not throw.
template <class Work>
auto with_interpreter_lock(Work&& work) -> std::optional<decltype(work())> {
  PyThreadState** saved = released_lock_detail::released_thread_state;
  if (saved == nullptr) return std::nullopt;
  released_lock_detail::released_thread_state = nullptr;
  PyEval_RestoreThread(*saved);
  interpreter_lock_released = false;
  std::optional<decltype(work())> result(work());
  interpreter_lock_released = true;
  *saved = PyEval_SaveThread();
  released_lock_detail::released_thread_state = saved;
  return result;
}

}  // namespace vertisift::boundary
