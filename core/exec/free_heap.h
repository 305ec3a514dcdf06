// Returning freed heap memory to the system.
#pragma once

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace teskra {

// Hands the heap's free pages back to the system. Once a process has freed
// a few large blocks, the C allocator raises its threshold for mapping
// blocks of their own and keeps later large blocks, freed, in the heap:
// a call that allocated and freed a lot (a build's scratch, a batch's
// encoded vectors, the graph a removal replaced) calls this so that the
// resident size reflects what the index holds. Costs a walk over the heap.
inline void return_free_heap() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace teskra
