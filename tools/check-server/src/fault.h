// Faults the stand-in can be told to show for a span of time: stay silent
// (read each check and never answer it), refuse (reset the connection a
// check comes on) or answer late. They let a benchmark or a test see what the
// module does while its check service is in trouble, and after.
#ifndef VORNEX_CHECK_SERVER_FAULT_H
#define VORNEX_CHECK_SERVER_FAULT_H

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace vornex {
namespace check_server {

enum class fault_mode { answer, silent, refuse, delay };

// The mode's name as the schedule syntax and the log spell it.
const char *mode_name(fault_mode mode);

// One fault: a mode from `start` after an origin (the server's start, or the
// control request that set it) for `length`.
struct fault {
  fault_mode mode = fault_mode::answer;
  std::chrono::milliseconds start{0};
  std::chrono::milliseconds length{0};
  // How late a check is answered; delay only.
  std::chrono::milliseconds delay{0};
};

// Parses "MODE:START:SECONDS[:DELAY_MS]": START and SECONDS in seconds with
// up to three decimals, DELAY_MS in whole milliseconds, given with delay and
// only with it. Returns false with what is wrong in `error`.
bool parse_fault(const std::string &text, fault &out, std::string &error);

// "silent from +5.000 s for 20.000 s", with ", answers after N ms" for
// delay.
std::string describe(const fault &f);

// True for an address of the loopback network (127.0.0.0/8, ::1, and
// 127.0.0.0/8 mapped into IPv6), the only peers that may set faults.
bool is_loopback(const std::string &address);

// The faults in force over time, shared by every connection's thread.
class fault_schedule {
public:
  using clock = std::chrono::steady_clock;

  struct state {
    fault_mode mode = fault_mode::answer;
    // End of the fault in force; meaningless while answering.
    clock::time_point until;
    std::chrono::milliseconds delay{0};
  };

  // Adds a fault that starts `f.start` after `origin`; where two overlap,
  // the one added last is in force, so "answer:0:N" ends a fault early.
  void add(const fault &f, clock::time_point origin);
  // Drops every fault, past or to come.
  void clear();
  state at(clock::time_point now) const;

  // Ends every hold at once: the server is stopping.
  void halt();
  bool halted() const;

private:
  struct window {
    clock::time_point from;
    clock::time_point until;
    fault_mode mode;
    std::chrono::milliseconds delay;
  };

  mutable std::mutex mutex;
  std::vector<window> windows;
  std::atomic<bool> stopping{false};
};

// What became of a check under a fault.
enum class fault_outcome {
  // No fault applies: decide and answer as usual.
  answer,
  // Held for the delay (or until the client left or the server stopped);
  // then decided and answered as usual.
  delayed,
  // Held without an answer until the fault ended, the client left or the
  // server stopped; the connection is then closed.
  silenced,
  // The connection was reset.
  refused,
};

// Applies the fault in force to a check that has just been read: holds it,
// or closes or resets its connection. Returns what the caller is to do.
fault_outcome apply_fault(fault_schedule &faults, const httplib::Request &req);

// The descriptor of the connection a request came on (the accepted socket
// whose ports are the request's), or -1.
int connection_socket(const httplib::Request &req);

} // namespace check_server
} // namespace vornex

#endif
