// Threads of the client's own that never take a signal: a server delivers
// its signals to the process, and a handler that ran on one of these (to
// end the process, say) would run in the middle of a call.
#ifndef VORNEX_QUIET_THREAD_H
#define VORNEX_QUIET_THREAD_H

#include <signal.h>

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

} // namespace vornex

#endif
