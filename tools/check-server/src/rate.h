// Per-client request counting for a rate rule: at most `limit` requests of
// one client address in a window of `window` seconds that starts with the
// client's first request; the requests beyond it are over the rate.
#ifndef VORNEX_CHECK_SERVER_RATE_H
#define VORNEX_CHECK_SERVER_RATE_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vornex {
namespace check_server {

class rate_counter {
public:
  using clock = std::chrono::steady_clock;

  rate_counter(unsigned long limit, std::chrono::seconds window);

  // Counts one request of `client` at `now` and tells whether it is over the
  // rate. Safe to call from several threads.
  bool over(const std::string &client, clock::time_point now);

  // Number of clients whose state is held.
  size_t clients();

private:
  struct window_state {
    clock::time_point start;
    unsigned long count = 0;
  };

  // Drops the clients whose window has run out, once the table has grown
  // past a threshold, so that many one-off clients cannot fill memory.
  void prune(clock::time_point now);

  const unsigned long limit;
  const std::chrono::seconds window;
  std::mutex mutex;
  std::unordered_map<std::string, window_state> windows;
  size_t prune_at;
};

} // namespace check_server
} // namespace vornex

#endif
