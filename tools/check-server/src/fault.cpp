#include "fault.h"

#include "options.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vornex {
namespace check_server {

namespace {

using std::chrono::milliseconds;

// A held check looks again at the schedule, the client and the server this
// often, so that a fault ended early or a stopping server frees it soon.
const milliseconds hold_slice(200);

const struct {
  fault_mode mode;
  const char *name;
} mode_names[] = {{fault_mode::answer, "answer"},
                  {fault_mode::silent, "silent"},
                  {fault_mode::refuse, "refuse"},
                  {fault_mode::delay, "delay"}};

// "S", "S.d", "S.dd" or "S.ddd" seconds, at most 999999, as milliseconds.
bool parse_seconds(const std::string &text, milliseconds &out) {
  const size_t dot = text.find('.');
  std::string fraction;
  if (dot != std::string::npos) {
    fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3)
      return false;
    fraction.resize(3, '0');
  }
  unsigned long seconds = 0, ms = 0;
  if (!whole_number(text.substr(0, dot), 999999, seconds) ||
      (!fraction.empty() && !whole_number(fraction, 999, ms)))
    return false;
  out = milliseconds(seconds * 1000 + ms);
  return true;
}

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at - from));
    if (at == std::string::npos)
      return parts;
    from = at + 1;
  }
}

// The peer's address as text and its port, or false for a descriptor that
// is no connected IP socket.
bool peer_of(int fd, std::string &address, int &port) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
    return false;
  char text[INET6_ADDRSTRLEN] = "";
  if (peer.ss_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(&peer);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  address = text;
  return true;
}

int local_port_of(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
    return -1;
  if (local.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in *>(&local)->sin_port);
  if (local.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(&local)->sin6_port);
  return -1;
}

// Waits up to `wait` for the client to close its side of the connection;
// true once it has. Without a descriptor it only waits.
bool client_left(int fd, milliseconds wait) {
  if (fd < 0) {
    std::this_thread::sleep_for(wait);
    return false;
  }
  pollfd watched{fd, POLLRDHUP, 0};
  const int ready = poll(&watched, 1, static_cast<int>(wait.count()));
  return ready > 0 &&
         (watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Holds the calling thread until `keep_holding` says no, the client leaves
// or the server stops, looking again every slice.
template <class predicate>
void hold(const fault_schedule &faults, int fd, predicate keep_holding) {
  while (!faults.halted()) {
    const auto now = fault_schedule::clock::now();
    milliseconds left(0);
    if (!keep_holding(now, left))
      return;
    if (client_left(fd, std::min(left, hold_slice)))
      return;
  }
}

milliseconds until(fault_schedule::clock::time_point end,
                   fault_schedule::clock::time_point now) {
  // Rounded up, so that a hold never wakes just short of its end and spins.
  const auto left = std::chrono::ceil<milliseconds>(end - now);
  return std::max(left, milliseconds(1));
}

} // namespace

const char *mode_name(fault_mode mode) {
  for (const auto &entry : mode_names)
    if (entry.mode == mode)
      return entry.name;
  return "?";
}

bool parse_fault(const std::string &text, fault &out, std::string &error) {
  const auto parts = split(text, ':');
  bool known = false;
  for (const auto &entry : mode_names)
    if (parts[0] == entry.name) {
      out.mode = entry.mode;
      known = true;
    }
  if (!known) {
    error = "mode is not answer, silent, refuse or delay";
    return false;
  }
  const size_t wanted = out.mode == fault_mode::delay ? 4 : 3;
  if (parts.size() != wanted) {
    error =
        (out.mode == fault_mode::delay ? "is not delay:START:SECONDS:DELAY_MS"
                                       : "is not MODE:START:SECONDS");
    return false;
  }
  if (!parse_seconds(parts[1], out.start)) {
    error = "START is not a number of seconds";
    return false;
  }
  if (!parse_seconds(parts[2], out.length) || out.length.count() == 0) {
    error = "SECONDS is not a number of seconds above 0";
    return false;
  }
  unsigned long delay = 0;
  if (wanted == 4 && !whole_number(parts[3], 999999, delay)) {
    error = "DELAY_MS is not a number of milliseconds";
    return false;
  }
  out.delay = milliseconds(delay);
  return true;
}

std::string describe(const fault &f) {
  char text[128];
  std::snprintf(text, sizeof text, "%s from +%.3f s for %.3f s",
                mode_name(f.mode), f.start.count() / 1000.0,
                f.length.count() / 1000.0);
  std::string out = text;
  if (f.mode == fault_mode::delay)
    out += ", answers after " + std::to_string(f.delay.count()) + " ms";
  return out;
}

bool is_loopback(const std::string &address) {
  return address.compare(0, 4, "127.") == 0 || address == "::1" ||
         address.compare(0, 11, "::ffff:127.") == 0;
}

void fault_schedule::add(const fault &f, clock::time_point origin) {
  const auto from = origin + f.start;
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = clock::now();
  windows.erase(
      std::remove_if(windows.begin(), windows.end(),
                     [now](const window &w) { return w.until <= now; }),
      windows.end());
  windows.push_back({from, from + f.length, f.mode, f.delay});
}

void fault_schedule::clear() {
  std::lock_guard<std::mutex> lock(mutex);
  windows.clear();
}

fault_schedule::state fault_schedule::at(clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto w = windows.rbegin(); w != windows.rend(); ++w)
    if (w->from <= now && now < w->until)
      return {w->mode, w->until, w->delay};
  return {};
}

void fault_schedule::halt() { stopping = true; }

bool fault_schedule::halted() const { return stopping; }

int connection_socket(const httplib::Request &req) {
  // httplib hands a handler no descriptor; the accepted socket is the one
  // whose peer and local ports are the request's.
  DIR *dir = opendir("/proc/self/fd");
  if (!dir)
    return -1;
  int found = -1;
  while (dirent *entry = readdir(dir)) {
    char *end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(dir))
      continue;
    std::string address;
    int port = 0;
    if (peer_of(static_cast<int>(fd), address, port) &&
        port == req.remote_port && address == req.remote_addr &&
        local_port_of(static_cast<int>(fd)) == req.local_port) {
      found = static_cast<int>(fd);
      break;
    }
  }
  closedir(dir);
  return found;
}

fault_outcome apply_fault(fault_schedule &faults, const httplib::Request &req) {
  const auto arrived = fault_schedule::clock::now();
  const fault_schedule::state in_force = faults.at(arrived);
  switch (in_force.mode) {
  case fault_mode::answer:
    return fault_outcome::answer;
  case fault_mode::refuse: {
    // Connecting to AF_UNSPEC disconnects: the kernel sends the client a
    // reset, and the descriptor stays open for the library to close.
    const int fd = connection_socket(req);
    if (fd >= 0) {
      sockaddr none{};
      none.sa_family = AF_UNSPEC;
      connect(fd, &none, sizeof none);
    }
    return fault_outcome::refused;
  }
  case fault_mode::delay: {
    const auto due = arrived + in_force.delay;
    hold(faults, connection_socket(req),
         [due](fault_schedule::clock::time_point now, milliseconds &left) {
           left = until(due, now);
           return now < due;
         });
    return fault_outcome::delayed;
  }
  case fault_mode::silent: {
    const int fd = connection_socket(req);
    hold(faults, fd,
         [&faults](fault_schedule::clock::time_point now, milliseconds &left) {
           const auto current = faults.at(now);
           left = until(current.until, now);
           return current.mode == fault_mode::silent;
         });
    // Closed without an answer: what the library writes next goes nowhere.
    if (fd >= 0)
      shutdown(fd, SHUT_RDWR);
    return fault_outcome::silenced;
  }
  }
  return fault_outcome::answer;
}

} // namespace check_server
} // namespace vornex
