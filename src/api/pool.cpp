#include "pool.h"

#include "quiet_thread.h"

#include <algorithm>
#include <system_error>

#include <unistd.h>

namespace vornex {

constexpr std::chrono::milliseconds connection_pool::default_idle_limit;

connection_pool::connection_pool(size_t max_idle,
                                 std::chrono::milliseconds idle_limit)
    : max_idle(max_idle), idle_limit(idle_limit), owner(getpid()) {}

connection_pool::~connection_pool() { close(); }

bool connection_pool::owned() const { return getpid() == owner; }

std::string connection_pool::key(const std::string &host, int port) {
  return host + ' ' + std::to_string(port);
}

connection_pool::connection connection_pool::take(const std::string &host,
                                                  int port) {
  if (!owned())
    return nullptr;
  std::vector<connection> expired;
  connection found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    collect_expired(clock::now(), expired);
    auto list = idle_by_server.find(key(host, port));
    if (list != idle_by_server.end() && !list->second.empty()) {
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
    collect_expired(clock::now(), expired);
    auto &list = idle_by_server[key(host, port)];
    if (list.size() >= max_idle)
      return;
    list.push_back({std::move(client), clock::now()});
    // Without the thread, expired connections are closed by the next call
    // that takes or gives one.
    if (start_thread() && clock::now() + idle_limit < next_wake)
      wake.notify_one();
  }
}

bool connection_pool::start_thread() {
  if (sweeper)
    return true;
  try {
    sweeper.reset(new std::thread(start_quiet_thread([this] { sweep(); })));
    return true;
  } catch (const std::system_error &) {
    return false;
  }
}

unsigned long connection_pool::watch(httplib::ClientImpl &client,
                                     clock::time_point deadline) {
  if (!owned())
    return 0;
  std::lock_guard<std::mutex> lock(mutex);
  if (closed || !start_thread())
    return 0;
  const unsigned long number = ++last_watch;
  watched[number] = {&client, deadline, false, false};
  if (deadline < next_wake)
    wake.notify_one();
  return number;
}

bool connection_pool::unwatch(unsigned long number) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto call = watched.find(number);
  if (call == watched.end())
    return false;
  stopped.wait(lock, [&call] { return !call->second.stopping; });
  const bool fired = call->second.fired;
  watched.erase(call);
  return fired;
}

connection_pool::clock::time_point
connection_pool::stop_late_calls(std::unique_lock<std::mutex> &lock) {
  clock::time_point next = clock::time_point::max();
  const clock::time_point now = clock::now();
  std::vector<unsigned long> late;
  for (auto &call : watched) {
    if (call.second.deadline <= now)
      late.push_back(call.first);
    else if (call.second.deadline < next)
      next = call.second.deadline;
  }
  for (const unsigned long number : late) {
    // A call may have ended while the lock was let go for another.
    auto call = watched.find(number);
    if (call == watched.end())
      continue;
    call->second.fired = true;
    call->second.stopping = true;
    httplib::ClientImpl *const client = call->second.client;
    // stop() waits for a connection attempt in progress: not under the
    // lock, which every call takes. unwatch waits for it to end.
    lock.unlock();
    client->stop();
    lock.lock();
    // unwatch waits while `stopping` is set, so the entry is still there.
    auto &same = watched.at(number);
    same.stopping = false;
    // Again in 10 ms, in case the call was between two steps.
    same.deadline = clock::now() + std::chrono::milliseconds(10);
    if (same.deadline < next)
      next = same.deadline;
  }
  if (!late.empty())
    stopped.notify_all();
  return next;
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

size_t connection_pool::idle(const std::string &host, int port) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto list = idle_by_server.find(key(host, port));
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
  std::unique_lock<std::mutex> lock(mutex);
  while (!closed || !watched.empty()) {
    const clock::time_point next_call = stop_late_calls(lock);
    std::vector<connection> expired;
    const clock::time_point next_idle = collect_expired(clock::now(), expired);
    if (!expired.empty()) {
      lock.unlock();
      expired.clear();
      lock.lock();
      continue;
    }
    next_wake = std::min(next_call, next_idle);
    if (next_wake == clock::time_point::max())
      wake.wait(lock);
    else
      wake.wait_until(lock, next_wake);
    next_wake = clock::time_point::max();
  }
}

} // namespace vornex
