// Deadlines of the check calls in progress in one process, watched by one
// thread: a call past its deadline has its client stopped, which shuts the
// socket down so that whatever wait the call is in returns. A thread per
// call would cost more than the check itself on a fast service.
#ifndef VORNEX_CALL_WATCH_H
#define VORNEX_CALL_WATCH_H

#include <httplib.h>

#include "process_tag.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vornex {

class call_watch {
public:
  using clock = std::chrono::steady_clock;

  // The watch belongs to the process that makes it; in a process forked
  // from it, watch refuses every call.
  call_watch();
  ~call_watch();
  call_watch(const call_watch &) = delete;
  call_watch &operator=(const call_watch &) = delete;

  // Stops `client` when `deadline` passes, and every 10 ms after, until
  // unwatch. Returns the watch's number, or 0 when it cannot watch (closed,
  // forked, no thread): the caller then bounds the call itself.
  unsigned long watch(httplib::ClientImpl &client, clock::time_point deadline);
  // Ends a watch; after it returns the client is no longer touched. True
  // when the deadline had passed and the client was stopped.
  bool unwatch(unsigned long number);
  // Waits for the calls in progress to end, then ends the thread.
  void close();

private:
  struct watched_call {
    httplib::ClientImpl *client;
    clock::time_point deadline;
    bool fired;
    bool stopping; // the thread is stopping it without the lock
  };
  // Stops the calls past their deadline; returns the next deadline. Called
  // with the lock held, which it lets go while it stops a client.
  clock::time_point stop_late_calls(std::unique_lock<std::mutex> &lock);
  void run();
  bool owned() const;

  const process_tag owner;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable stopped; // a stop without the lock has ended
  std::map<unsigned long, watched_call> calls;
  unsigned long last_number = 0;
  unsigned long seen_number = 0; // last_number when the thread last woke
  // When the thread wakes next; a call with an earlier deadline wakes it.
  clock::time_point next_wake = clock::time_point::max();
  bool closed = false;
  // Started with the first call watched. Held by pointer so that a forked
  // copy can let go of it without touching the thread.
  std::unique_ptr<std::thread> thread;
};

} // namespace vornex

#endif
