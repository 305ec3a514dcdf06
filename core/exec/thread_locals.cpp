#include "core/exec/thread_locals.h"

#include <cstdlib>
#include <exception>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define TESKRA_POSIX_THREADS 1
#endif

namespace teskra {

namespace {

// Room for the blocks (a few hundred bytes) and glibc's bookkeeping of them,
// with plenty to spare: the trial is freed just before they are taken, so
// they come out of what it held.
constexpr size_t kTrialBytes = size_t{64} << 10;

// Any thread-local variable of this library: touching one takes its block.
thread_local volatile bool t_touched = false;

#if TESKRA_POSIX_THREADS
// The mark of a claimed thread; without a key (none left in the process)
// every call claims again, which is only slower.
struct ClaimedKey {
  pthread_key_t key{};
  bool made = false;
};

const ClaimedKey& claimed_key() {
  static const ClaimedKey k = [] {
    ClaimedKey c;
    c.made = pthread_key_create(&c.key, nullptr) == 0;
    return c;
  }();
  return k;
}
#endif

}  // namespace

bool claim_thread_locals() noexcept {
#if TESKRA_POSIX_THREADS
  const ClaimedKey& mark = claimed_key();
  if (mark.made && pthread_getspecific(mark.key) != nullptr) return true;
  void* trial = std::malloc(kTrialBytes);
  if (trial == nullptr) return false;
  std::free(trial);
  (void)std::uncaught_exceptions();  // the C++ runtime's block
  t_touched = true;                  // this library's
  // Unmarked if even this fails: the next call simply claims again.
  if (mark.made) (void)pthread_setspecific(mark.key, const_cast<bool*>(&t_touched));
#endif
  return true;
}

}  // namespace teskra
