// Fork detection for state that must not outlive a fork().
//
// A child made by fork() has a copy of its parent's memory but only the one thread that
// forked. Some state must not carry over: the worker pool (its threads are gone, so a job
// posted to it would wait forever), and the random generators and hash keys (the child would
// repeat its parent's choices). Each such piece records the epoch it was made in and is made
// anew once the epoch has moved on. A pthread_atfork child handler advances the epoch; it is
// registered by the first fork_epoch() call, which every such piece makes before it creates
// its state, so a fork after any call that made state is always seen.
#pragma once

#include <cstdint>

namespace vertisift::base {

// The number of forks between the first call in this process's lineage and now. Registers
// the fork handler on first use; throws std::bad_alloc if the system cannot register it.
std::uint64_t fork_epoch();

}  // namespace vertisift::base
