#include "pool.h"

#include "quiet_thread.h"
#include "tls_context.h"

#include <algorithm>
#include <system_error>

namespace vornex {

constexpr std::chrono::milliseconds connection_pool::default_idle_limit;

connection_pool::connection_pool(size_t max_idle,
                                 std::chrono::milliseconds idle_limit)
    : max_idle(max_idle), idle_limit(idle_limit) {}

connection_pool::~connection_pool() { close(); }

bool connection_pool::owned() const { return owner.current(); }

std::string connection_pool::key(const std::string &host, int port,
                                 unsigned long tls) {
  std::string text = host + ' ' + std::to_string(port);
  if (tls)
    text += " tls " + std::to_string(tls);
  return text;
}

connection_pool::connection connection_pool::take(const std::string &host,
                                                  int port, unsigned long tls) {
  if (!owned())
    return nullptr;
  std::vector<connection> expired;
  connection found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const clock::time_point now = clock::now();
    // While the sweeper runs it closes what expires; a walk over every idle
    // connection on each call would only lengthen the time the lock is held.
    if (!sweeper)
      collect_expired(now, expired);
    auto list = idle_by_server.find(key(host, port, tls));
    // The newest is taken; once it has expired, so have the others, which
    // the sweeper is about to close.
    if (list != idle_by_server.end() && !list->second.empty() &&
        now - list->second.back().since < idle_limit) {
      found = std::move(list->second.back().client);
      list->second.pop_back();
    }
  }
  return found;
}

void connection_pool::give(const std::string &host, int port,
                           connection client) {
  if (!client || !owned())
    return;
  std::vector<connection> expired;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed)
      return;
    if (!sweeper)
      collect_expired(clock::now(), expired);
    const tls_context *settings = client->tls();
    auto &list = idle_by_server[key(host, port, settings ? settings->id() : 0)];
    if (list.size() >= max_idle)
      return;
    last_give = clock::now();
    list.push_back({std::move(client), last_give});
    if (!sweeper) {
      try {
        sweeper.reset(new std::thread(start_quiet_thread([this] { sweep(); })));
      } catch (const std::system_error &) {
        // Without the thread, expired connections are closed by the next
        // call that takes or gives one.
      }
    } else if (clock::now() + idle_limit < next_wake) {
      // Only a sweeper that sleeps past this connection's expiry (with no
      // other idle connection) is woken.
      wake.notify_one();
    }
  }
}

void connection_pool::close() {
  if (!owned()) {
    // A forked copy: the thread and the lock belong to the process that
    // made the pool, and the connections too; all are left as they are.
    (void)sweeper.release();
    return;
  }
  std::map<std::string, std::vector<idle_connection>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    dropped.swap(idle_by_server);
  }
  wake.notify_all();
  if (sweeper && sweeper->joinable()) {
    if (sweeper->get_id() == std::this_thread::get_id())
      sweeper->detach();
    else
      sweeper->join();
  }
}

size_t connection_pool::idle(const std::string &host, int port,
                             unsigned long tls) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto list = idle_by_server.find(key(host, port, tls));
  return list == idle_by_server.end() ? 0 : list->second.size();
}

connection_pool::clock::time_point
connection_pool::collect_expired(clock::time_point now,
                                 std::vector<connection> &expired) {
  clock::time_point next = clock::time_point::max();
  for (auto &entry : idle_by_server) {
    auto &list = entry.second;
    size_t kept = 0;
    for (auto &idle : list) {
      if (now - idle.since >= idle_limit) {
        expired.push_back(std::move(idle.client));
      } else {
        if (idle.since + idle_limit < next)
          next = idle.since + idle_limit;
        list[kept++] = std::move(idle);
      }
    }
    list.resize(kept);
  }
  return next;
}

void connection_pool::sweep() {
  // While connections are kept or given back, the sweeper wakes at least
  // once a second, so that giving one back need not wake it; ten seconds
  // after the last one went, it sleeps until a give wakes it.
  const std::chrono::seconds tick(1);
  std::unique_lock<std::mutex> lock(mutex);
  while (!closed) {
    std::vector<connection> expired;
    const clock::time_point now = clock::now();
    const clock::time_point next = collect_expired(now, expired);
    if (!expired.empty()) {
      lock.unlock();
      expired.clear();
      lock.lock();
      continue;
    }
    const bool active = next != clock::time_point::max() ||
                        now - last_give < std::chrono::seconds(10);
    sleep_until(wake, lock, next_wake,
                active ? std::min(next, now + tick) : next);
  }
}

} // namespace vornex
