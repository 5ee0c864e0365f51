#include "call_watch.h"

#include "quiet_thread.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace vornex {

call_watch::call_watch() = default;

call_watch::~call_watch() { close(); }

bool call_watch::owned() const { return owner.current(); }

unsigned long call_watch::watch(httplib::ClientImpl &client,
                                clock::time_point deadline) {
  if (!owned())
    return 0;
  std::lock_guard<std::mutex> lock(mutex);
  if (closed)
    return 0;
  if (!thread) {
    try {
      thread.reset(new std::thread(start_quiet_thread([this] { run(); })));
    } catch (const std::system_error &) {
      return 0;
    }
  }
  const unsigned long number = ++last_number;
  calls[number] = {&client, deadline, false, false};
  if (deadline < next_wake)
    wake.notify_one();
  return number;
}

bool call_watch::unwatch(unsigned long number) {
  std::unique_lock<std::mutex> lock(mutex);
  const auto call = calls.find(number);
  if (call == calls.end())
    return false;
  stopped.wait(lock, [&call] { return !call->second.stopping; });
  const bool fired = call->second.fired;
  calls.erase(call);
  return fired;
}

void call_watch::close() {
  if (!owned()) {
    // A forked copy: the thread and the lock belong to the process that
    // made the watch.
    (void)thread.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
  }
  wake.notify_all();
  if (thread && thread->joinable()) {
    if (thread->get_id() == std::this_thread::get_id())
      thread->detach();
    else
      thread->join();
  }
}

call_watch::clock::time_point
call_watch::stop_late_calls(std::unique_lock<std::mutex> &lock) {
  std::vector<unsigned long> late;
  const clock::time_point now = clock::now();
  for (const auto &call : calls)
    if (call.second.deadline <= now)
      late.push_back(call.first);
  for (const unsigned long number : late) {
    // A call may have ended while the lock was let go for another.
    const auto call = calls.find(number);
    if (call == calls.end())
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
    auto &same = calls.at(number);
    same.stopping = false;
    // Again in 10 ms, in case the call was between two steps.
    same.deadline = clock::now() + std::chrono::milliseconds(10);
  }
  if (!late.empty())
    stopped.notify_all();
  // Scanned after the last time the lock was let go, so that a call
  // watched meanwhile is counted.
  clock::time_point next = clock::time_point::max();
  for (const auto &call : calls)
    if (call.second.deadline < next)
      next = call.second.deadline;
  return next;
}

void call_watch::run() {
  // While calls come, the thread wakes at least once a second, so that a
  // new call whose deadline is later than that need not wake it (a wake-up
  // per call costs more than the rest of the watch); after ten seconds
  // without a call it sleeps until the next one.
  const std::chrono::seconds tick(1);
  const std::chrono::seconds rest_after(10);
  clock::time_point last_call = clock::now();
  std::unique_lock<std::mutex> lock(mutex);
  // Calls in progress are watched to their end even after close.
  while (!closed || !calls.empty()) {
    const clock::time_point next = stop_late_calls(lock);
    const clock::time_point now = clock::now();
    if (!calls.empty() || last_number != seen_number)
      last_call = now;
    seen_number = last_number;
    sleep_until(wake, lock, next_wake,
                calls.empty() && now - last_call >= rest_after
                    ? clock::time_point::max()
                    : std::min(next, now + tick));
  }
}

} // namespace vornex
