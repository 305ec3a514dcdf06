#include "python/released.h"

#include <pthread.h>

#include <atomic>

#include "python/ref.h"

namespace teskra::py {

namespace {

constexpr std::chrono::milliseconds kSignalInterval(50);

std::atomic<unsigned long> g_main_thread{0};

void forking_thread_is_main() { g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }

}  // namespace

void note_main_thread() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forking_thread_is_main);
    return true;
  }();
  (void)registered;
  unsigned long ident = PyThread_get_thread_ident();
  Ref threading(PyImport_ImportModule("threading"));
  Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  Ref value(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  if (value && PyLong_Check(value.get())) {
    const unsigned long v = PyLong_AsUnsignedLong(value.get());
    if (!PyErr_Occurred()) ident = v;
  }
  PyErr_Clear();  // unknown: the importing thread stands in
  g_main_thread.store(ident, std::memory_order_relaxed);
}

Unlocked::Unlocked()
    : main_thread_(PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed)),
      next_check_(std::chrono::steady_clock::now() + kSignalInterval) {
  state_ = PyEval_SaveThread();
}

Unlocked::~Unlocked() { PyEval_RestoreThread(state_); }

bool Unlocked::requested() {
  if (raised_) return true;
  if (!main_thread_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return false;
  next_check_ = now + kSignalInterval;
  PyEval_RestoreThread(state_);
  raised_ = PyErr_CheckSignals() < 0;  // the exception stays set for the entry point
  state_ = PyEval_SaveThread();
  return raised_;
}

}  // namespace teskra::py
