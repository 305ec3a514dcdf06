// A thread's claim to its thread-local storage.
//
// glibc gives a thread the thread-local blocks of a library loaded after the
// program started on their first use: this library's and, when an interpreter
// loads us, the C++ runtime's, which every exception uses. When it cannot
// allocate them it ends the process, an abort where the caller expected
// std::bad_alloc. So every thread that runs our code claims its blocks before
// anything else, while it can still refuse: the module's entry points and the
// pool's workers call this first.
#pragma once

namespace teskra {

// True when this thread's blocks are in place: taken by an earlier call, or
// now, after a trial allocation showed there is room for them. False, with
// nothing taken, when memory is too short (the caller reports it as it reports
// std::bad_alloc, or a worker ends). Cheap after the first true: the mark is a
// thread-specific key, kept in the thread's own descriptor without allocation.
bool claim_thread_locals() noexcept;

}  // namespace teskra
