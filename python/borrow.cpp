#include "python/borrow.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace teskra::py {

namespace {

// AccessState::word.
constexpr uint64_t kReader = 1;
constexpr uint64_t kReaders = 0xFFFFFFFFull;
constexpr uint64_t kWaitingWriter = uint64_t{1} << 32;
constexpr uint64_t kWaitingWriters = uint64_t{0xFFFF} << 32;
constexpr uint64_t kWriting = uint64_t{1} << 62;

// The uncontended paths are single atomic operations on the index's word.
// A thread that must wait sleeps on one condition variable shared by every
// index, under one mutex: waits are rare, and a single pair is simple to
// renew in a forked child. Never destroyed: a thread may hold them at exit.
std::mutex* g_mutex = new std::mutex;
std::condition_variable* g_changed = new std::condition_variable;

// The accesses this thread holds: which object, how many shared (nested)
// and whether exclusive. Tiny: one entry per index a call of this thread is
// inside.
struct Held {
  const PyTeskra* object;
  uint64_t shared;
  bool exclusive;
};
thread_local std::vector<Held> t_held;

// Forks seen by this process, and what the forking thread held at the last
// one: an index's counts from an earlier generation are rebuilt from it.
std::atomic<uint64_t> g_generation{0};
std::vector<Held>* g_forker_held = nullptr;

void renew_after_fork() {
  // The parent's other threads are gone, and one of them may have held the
  // mutex: new ones, the old ones left as they are.
  g_mutex = new std::mutex;
  g_changed = new std::condition_variable;
  delete g_forker_held;
  g_forker_held = new std::vector<Held>(t_held);
  g_generation.fetch_add(1);
}

void register_fork_handler() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, renew_after_fork);
    return true;
  }();
  (void)registered;
}

Held* held_by_this_thread(const PyTeskra* self) {
  for (Held& h : t_held) {
    if (h.object == self) return &h;
  }
  return nullptr;
}

bool current(const AccessState& s) {
  return s.generation.load(std::memory_order_relaxed) == g_generation.load(std::memory_order_relaxed);
}

// With g_mutex held: counts taken before a fork keep only what the forking
// thread, the one thread that came along, holds.
void bring_up_to_date(PyTeskra* self) {
  AccessState& s = self->access;
  if (current(s)) return;
  uint64_t readers = 0;
  bool forker_writes = false;
  if (g_forker_held != nullptr) {
    for (const Held& h : *g_forker_held) {
      if (h.object != self) continue;
      readers += h.shared;
      forker_writes = forker_writes || h.exclusive;
    }
  }
  if ((s.word.load() & kWriting) != 0 && !forker_writes) s.broken = true;
  s.word.store(readers | (forker_writes ? kWriting : 0));
  s.sleepers.store(0);
  s.generation.store(g_generation.load());
}

bool can_take(uint64_t word, bool exclusive) {
  if (exclusive) return (word & (kReaders | kWriting)) == 0;
  // Writers waiting go first, so that searches cannot hold a change off.
  return (word & (kWriting | kWaitingWriters)) == 0;
}

// One attempt to take the access; a queued writer leaves the queue with it.
bool try_take(AccessState& s, bool exclusive, bool queued) {
  uint64_t w = s.word.load();
  while (can_take(w, exclusive)) {
    const uint64_t next = exclusive ? (w | kWriting) - (queued ? kWaitingWriter : 0) : w + kReader;
    if (s.word.compare_exchange_weak(w, next)) return true;
  }
  return false;
}

void wake_sleepers(AccessState& s) {
  // Sequentially consistent with the sleeper's increment and re-check: one
  // of the two sees the other's change, so no wake-up is lost.
  if (s.sleepers.load() == 0) return;
  std::lock_guard<std::mutex> lock(*g_mutex);
  g_changed->notify_all();
}

bool raise_broken() {
  PyErr_SetString(PyExc_RuntimeError,
                  "this index was being changed by another thread when the process forked; "
                  "it cannot be used in this process");
  return false;
}

}  // namespace

void init_access(PyTeskra* self) {
  register_fork_handler();
  new (&self->access) AccessState();
  self->access.generation.store(g_generation.load());
}

// Runs inside guarded(), which has claimed the thread's thread-local storage
// (t_held lives there).
bool acquire_access(PyTeskra* self, bool exclusive) {
  AccessState& s = self->access;
  t_held.reserve(t_held.size() + 1);  // the one allocation, before anything changes or is pointed at
  Held* mine = held_by_this_thread(self);
  if (mine != nullptr) {
    if (exclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    if (mine->exclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
  }
  if (!current(s) || s.broken) {
    std::lock_guard<std::mutex> lock(*g_mutex);
    bring_up_to_date(self);
    if (s.broken) return raise_broken();
  }
  if (mine != nullptr) {
    // Nested in this thread's own shared access: never waits (a writer
    // waiting for that access would wait for ever).
    s.word.fetch_add(kReader);
    ++mine->shared;
    return true;
  }
  if (!try_take(s, exclusive, false)) {
    if (exclusive) s.word.fetch_add(kWaitingWriter);
    bool took = false;
    while (!took) {
      Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> lock(*g_mutex);
        s.sleepers.fetch_add(1);
        // Wakes up now and then to let a signal handler run.
        took = g_changed->wait_for(lock, std::chrono::milliseconds(100),
                                   [&] { return try_take(s, exclusive, exclusive); });
        s.sleepers.fetch_sub(1);
      }
      Py_END_ALLOW_THREADS if (!took && PyErr_CheckSignals() < 0) {
        if (exclusive) {
          s.word.fetch_sub(kWaitingWriter);
          wake_sleepers(s);  // readers held back by this writer may go
        }
        return false;
      }
    }
  }
  t_held.push_back({self, exclusive ? 0u : 1u, exclusive});
  return true;
}

void release_access(PyTeskra* self, bool exclusive) noexcept {
  AccessState& s = self->access;
  if (!current(s)) {
    std::lock_guard<std::mutex> lock(*g_mutex);
    bring_up_to_date(self);
  }
  s.word.fetch_sub(exclusive ? kWriting : kReader);
  wake_sleepers(s);
  Held* mine = held_by_this_thread(self);
  if (mine == nullptr) return;
  if (!exclusive && --mine->shared > 0) return;
  t_held.erase(t_held.begin() + (mine - t_held.data()));
}

}  // namespace teskra::py
