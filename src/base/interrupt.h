// How a wait deep in the core learns that its caller wants it to give up.
//
// The core knows nothing of who called it. A caller that can be interrupted (the Python
// boundary, when a signal handler may raise KeyboardInterrupt) installs an InterruptCheck on
// its thread for the length of the call. A blocking system call that a signal cuts short
// (EINTR) asks it, through interrupt_requested(), whether to go on; once the check has said
// stop, every later question on that thread gets the same answer without asking again, so a
// reading that swallows one failure (the format probe) still ends at its next read. Threads
// without a check (the workers, the read-ahead thread) retry as before.
#pragma once

namespace vertisift::base {

class InterruptCheck {
 public:
  // `query(context)` is true when the wait should end. It is only called on the thread that
  // made the check, while the check exists.
  using Query = bool (*)(void* context);

  InterruptCheck(Query query, void* context);
  ~InterruptCheck();
  InterruptCheck(const InterruptCheck&) = delete;
  InterruptCheck& operator=(const InterruptCheck&) = delete;

  // True once the query has said stop.
  bool stopped() const { return stopped_; }

 private:
  friend bool interrupt_requested();
  friend bool interrupted();

  Query query_;
  void* context_;
  bool stopped_ = false;
  InterruptCheck* outer_;
};

// Asks this thread's check, if it has one and it has not said stop yet; true when it has.
bool interrupt_requested();

// True when this thread's check has already said stop; asks nothing.
bool interrupted();

}  // namespace vertisift::base
