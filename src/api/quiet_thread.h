// Threads of the client's own that never take a signal: a server delivers
// its signals to the process, and a handler that ran on one of these (to
// end the process, say) would run in the middle of a call. And how such a
// thread sleeps between its rounds.
#ifndef VORNEX_QUIET_THREAD_H
#define VORNEX_QUIET_THREAD_H

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace vornex {

// Starts `run` on a new thread with every signal blocked; throws what
// std::thread throws.
template <typename F> std::thread start_quiet_thread(F &&run) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    std::thread thread(std::forward<F>(run));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread;
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    throw;
  }
}

// Sleeps until `until` (for ever when it is the clock's max) or a notify on
// `wake`, with `until` shown in `next_wake` meanwhile, so that a caller
// notifies only for something due earlier than that.
inline void sleep_until(std::condition_variable &wake,
                        std::unique_lock<std::mutex> &lock,
                        std::chrono::steady_clock::time_point &next_wake,
                        std::chrono::steady_clock::time_point until) {
  next_wake = until;
  if (until == std::chrono::steady_clock::time_point::max())
    wake.wait(lock);
  else
    wake.wait_until(lock, until);
  next_wake = std::chrono::steady_clock::time_point::max();
}

} // namespace vornex

#endif
