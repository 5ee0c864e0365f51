#include "process_tag.h"

#include <atomic>

#include <pthread.h>
#include <unistd.h>

namespace vornex {

namespace {

// Forks on the way from the process that registered the handler to this
// one. When the module is unloaded, the C library drops the handler with it.
std::atomic<unsigned long> forks_seen{0};

void count_fork() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Registers the handler on the first call (thread-safe, as every static's
// initialisation is); false when it could not be registered.
bool counting() {
  static const bool registered =
      pthread_atfork(nullptr, nullptr, count_fork) == 0;
  return registered;
}

} // namespace

process_tag::process_tag()
    : forks(counting() ? forks_seen.load(std::memory_order_relaxed) : 0),
      pid(getpid()) {}

bool process_tag::current() const {
  if (!counting())
    return getpid() == pid;
  return forks_seen.load(std::memory_order_relaxed) == forks;
}

} // namespace vornex
