// How many threads the engine's parallel work runs on.
//
// A call is given a thread count by its caller; 0 stands for the process-wide
// default, which set_default_threads() changes and which is itself 0 (every
// core this process may use) until then. The count never changes a result:
// every parallel pass of the engine gives the same bits on one thread as on
// many, so the setting is about speed alone.
#pragma once

#include <cstddef>

namespace teskra {

// No call runs on more threads than this, whatever it asks for.
inline constexpr size_t kMaxThreads = 256;

// The CPUs this process may run on now (its affinity mask where the system
// has one, else the CPUs online); at least 1.
size_t usable_cores();

// The default for calls that ask for 0 threads; 0 means usable_cores().
// Safe to call from any thread at any time: calls already running keep the
// count they started with.
void set_default_threads(size_t threads);
size_t default_threads();

// The thread count a call asking for `requested` runs on: requested itself,
// the default for 0, usable_cores() when that is 0 too; clamped to
// [1, kMaxThreads].
size_t resolve_threads(size_t requested);

}  // namespace teskra
