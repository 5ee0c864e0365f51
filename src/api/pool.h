// Connections to check servers kept open between checks, per process: an
// idle connection is taken by one call at a time and given back after an
// answer that leaves it usable.
#ifndef VORNEX_POOL_H
#define VORNEX_POOL_H

#include "check_stream.h"
#include "process_tag.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vornex {

class connection_pool {
public:
  using clock = std::chrono::steady_clock;
  using connection = std::unique_ptr<check_client>;

  // An idle connection unused for this long is closed. Shorter than the
  // 5 s after which many servers close an idle connection themselves, so
  // that the pool usually closes first and the server sees an orderly end.
  static constexpr std::chrono::milliseconds default_idle_limit{4000};

  // Holds at most `max_idle` idle connections per server. The pool belongs
  // to the process that makes it; in a process forked from it, take finds
  // nothing and give closes what it is given.
  explicit connection_pool(
      size_t max_idle,
      std::chrono::milliseconds idle_limit = default_idle_limit);
  ~connection_pool();
  connection_pool(const connection_pool &) = delete;
  connection_pool &operator=(const connection_pool &) = delete;

  // The most recently used idle connection to host:port made under the TLS
  // settings numbered `tls` (tls_context::id), or plain ones for 0; null
  // when there is none.
  connection take(const std::string &host, int port, unsigned long tls = 0);
  // Keeps an open connection for a later call, under the TLS settings it
  // was made with; closes it when the server already has max_idle idle ones
  // or the pool is closed.
  void give(const std::string &host, int port, connection client);
  // Closes every idle connection and ends the pool: nothing is kept after.
  void close();

  size_t idle(const std::string &host, int port, unsigned long tls = 0);

private:
  struct idle_connection {
    connection client;
    clock::time_point since;
  };
  static std::string key(const std::string &host, int port, unsigned long tls);
  // Moves the connections idle for too long into `expired`, to be closed
  // without the lock; returns when the next one expires.
  clock::time_point collect_expired(clock::time_point now,
                                    std::vector<connection> &expired);
  void sweep();
  bool owned() const;

  const size_t max_idle;
  const std::chrono::milliseconds idle_limit;
  const process_tag owner;
  std::mutex mutex;
  std::condition_variable wake;
  // Oldest first; calls take from the back.
  std::map<std::string, std::vector<idle_connection>> idle_by_server;
  // When the sweeper wakes next; a connection that expires earlier wakes it.
  clock::time_point next_wake = clock::time_point::max();
  clock::time_point last_give;
  bool closed = false;
  // Closes expired connections while the process has no checks to send;
  // started with the first connection kept. Held by pointer so that a
  // forked copy of the pool can let go of it without touching the thread.
  std::unique_ptr<std::thread> sweeper;
};

} // namespace vornex

#endif
