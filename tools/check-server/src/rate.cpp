#include "rate.h"

#include <algorithm>

namespace vornex {
namespace check_server {

namespace {
const size_t first_prune = 4096;
} // namespace

rate_counter::rate_counter(unsigned long limit, std::chrono::seconds window)
    : limit(limit), window(window), prune_at(first_prune) {}

bool rate_counter::over(const std::string &client, clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = windows.find(client);
  if (found == windows.end()) {
    prune(now);
    found = windows.emplace(client, window_state{now, 0}).first;
  }
  window_state &state = found->second;
  if (now - state.start >= window) {
    state.start = now;
    state.count = 0;
  }
  if (state.count < limit) {
    ++state.count;
    return false;
  }
  return true;
}

size_t rate_counter::clients() {
  std::lock_guard<std::mutex> lock(mutex);
  return windows.size();
}

void rate_counter::prune(clock::time_point now) {
  if (windows.size() < prune_at)
    return;
  for (auto it = windows.begin(); it != windows.end();)
    if (now - it->second.start >= window)
      it = windows.erase(it);
    else
      ++it;
  // With many live clients, wait for the table to double before the next
  // sweep, so a sweep costs a constant amount per new client.
  prune_at = std::max(first_prune, windows.size() * 2);
}

} // namespace check_server
} // namespace vornex
