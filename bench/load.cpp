// vornex-bench-load: groups of HTTP/1.1 clients on kept connections, each
// client sending its next GET as soon as the last one is answered, for a
// number of seconds; records when each request started and ended and how it
// ended. One thread and epoll, so that a few hundred clients cost the machine
// little next to the servers they load.
//
//   vornex-bench-load --group NAME=CLIENTS@HOST:PORT/PATH [--group ...]
//                     --seconds S --out FILE [--cap SECONDS] [--mark HEADER]
//
// Each line of FILE is "NAME START_US END_US STATUS MARKED": the times on the
// system's monotonic clock (CLOCK_MONOTONIC, the clock of Python's
// time.monotonic()), in microseconds, and the HTTP status or a negative
// failure: -1 could not connect, -2 the connection broke before a whole
// answer, -3 no whole answer within the cap (the client then gives up on the
// connection and opens a new one); MARKED is 1 when the answer carried the
// header named by --mark (in any letter case), else 0. A request that fails is
// sent again on a new connection after a pause of 10 ms, so that a server that
// is down is not asked in a tight loop. After S seconds no request is started;
// those under way are waited for, each up to the cap.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: vornex-bench-load --group NAME=CLIENTS@HOST:PORT/PATH "
    "[--group ...]\n"
    "                         --seconds S --out FILE [--cap SECONDS] "
    "[--mark HEADER]\n";

const int64_t retry_pause_us = 10000;
// How often the caps and pauses are looked at.
const int64_t sweep_every_us = 5000;
const size_t read_size = 65536;

enum failure : int { no_connection = -1, broken = -2, over_cap = -3 };

struct group {
  std::string name;
  long clients = 0;
  sockaddr_in address{};
  std::string request;
};

struct options {
  std::vector<group> groups;
  long seconds = 0;
  long cap_seconds = 30;
  std::string out;
  // A response header whose presence each record tells; empty for none.
  std::string mark;
};

struct record {
  uint32_t group;
  int32_t status;
  bool marked;
  int64_t start_us;
  int64_t end_us;
};

volatile sig_atomic_t stop_signal = 0;

void on_stop(int) { stop_signal = 1; }

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool parse_number(const std::string &text, long low, long high, long &out) {
  char *end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high)
    return false;
  out = value;
  return true;
}

// NAME=CLIENTS@HOST:PORT/PATH, with an IPv4 host.
bool parse_group(const std::string &text, group &out) {
  const size_t equals = text.find('=');
  const size_t at = text.find('@');
  if (equals == std::string::npos || equals == 0 || at == std::string::npos ||
      at < equals)
    return false;
  out.name = text.substr(0, equals);
  if (out.name.find_first_of(" \t\n") != std::string::npos ||
      !parse_number(text.substr(equals + 1, at - equals - 1), 1, 10000,
                    out.clients))
    return false;
  const std::string place = text.substr(at + 1);
  const size_t colon = place.find(':');
  const size_t slash = place.find('/');
  if (colon == std::string::npos || slash == std::string::npos || slash < colon)
    return false;
  const std::string host = place.substr(0, colon);
  long port = 0;
  if (!parse_number(place.substr(colon + 1, slash - colon - 1), 1, 65535, port))
    return false;
  out.address.sin_family = AF_INET;
  out.address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &out.address.sin_addr) != 1)
    return false;
  const std::string path = place.substr(slash);
  out.request = "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" +
                std::to_string(port) +
                "\r\nUser-Agent: vornex-bench-load\r\nAccept: */*\r\n\r\n";
  return true;
}

bool parse(int argc, char **argv, options &opts) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--group") {
      group g;
      if (!parse_group(value, g))
        return false;
      opts.groups.push_back(g);
    } else if (flag == "--seconds") {
      if (!parse_number(value, 1, 86400, opts.seconds))
        return false;
    } else if (flag == "--cap") {
      if (!parse_number(value, 1, 3600, opts.cap_seconds))
        return false;
    } else if (flag == "--out") {
      opts.out = value;
    } else if (flag == "--mark") {
      opts.mark = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !opts.groups.empty() && opts.seconds > 0 &&
         !opts.out.empty();
}

// Where a client's answer stands once its head is read.
struct answer_state {
  bool head_done = false;
  int status = 0;
  bool close_after = false;
  bool chunked = false;
  bool until_close = false;
  bool marked = false;
  size_t body_start = 0;
  size_t body_length = 0;
};

bool header_is(const std::string &line, const char *name) {
  const size_t length = std::strlen(name);
  return line.size() > length && line[length] == ':' &&
         strncasecmp(line.c_str(), name, length) == 0;
}

std::string header_value(const std::string &line) {
  size_t from = line.find(':') + 1;
  while (from < line.size() && (line[from] == ' ' || line[from] == '\t'))
    ++from;
  return line.substr(from);
}

// Reads the status line and headers once they are all in `in`; false while
// they are not, or for a head that makes no sense (then `status` is 0).
bool parse_head(const std::string &in, const std::string &mark,
                answer_state &a) {
  const size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos)
    return false;
  a.head_done = true;
  a.body_start = end + 4;
  size_t line_start = 0;
  bool length_known = false;
  bool first = true;
  while (line_start < end) {
    size_t line_end = in.find("\r\n", line_start);
    const std::string line = in.substr(line_start, line_end - line_start);
    line_start = line_end + 2;
    if (first) {
      first = false;
      if (line.compare(0, 5, "HTTP/") != 0 || line.size() < 12)
        return true;
      a.status = std::atoi(line.c_str() + 9);
      if (line.compare(0, 8, "HTTP/1.0") == 0)
        a.close_after = true;
    } else if (!mark.empty() && header_is(line, mark.c_str())) {
      a.marked = true;
    } else if (header_is(line, "Content-Length")) {
      a.body_length = std::strtoul(header_value(line).c_str(), nullptr, 10);
      length_known = true;
    } else if (header_is(line, "Transfer-Encoding")) {
      a.chunked = strcasestr(header_value(line).c_str(), "chunked") != nullptr;
    } else if (header_is(line, "Connection")) {
      const std::string value = header_value(line);
      if (strcasestr(value.c_str(), "close"))
        a.close_after = true;
      else if (strcasestr(value.c_str(), "keep-alive"))
        a.close_after = false;
    }
  }
  a.until_close = !length_known && !a.chunked;
  if (a.until_close)
    a.close_after = true;
  return true;
}

// True once the whole answer is in `in` (a chunked body ends with its last
// chunk and no trailers).
bool answer_complete(const std::string &in, const answer_state &a) {
  if (a.chunked)
    return in.find("\r\n0\r\n\r\n", a.body_start - 2) != std::string::npos;
  if (a.until_close)
    return false;
  return in.size() >= a.body_start + a.body_length;
}

enum class phase { idle, waiting, connecting, sending, reading };

struct client {
  uint32_t group = 0;
  int fd = -1;
  phase at = phase::idle;
  int64_t start_us = 0;
  // When a pause after a failure ends.
  int64_t resume_us = 0;
  size_t sent = 0;
  // The connection has carried an answer before.
  bool reused = false;
  std::string in;
  answer_state answer;
};

class load {
public:
  explicit load(const options &opts) : opts(opts) {
    epoll = epoll_create1(EPOLL_CLOEXEC);
    for (uint32_t g = 0; g < opts.groups.size(); ++g)
      for (long i = 0; i < opts.groups[g].clients; ++i) {
        clients.emplace_back();
        clients.back().group = g;
      }
    records.reserve(1 << 20);
  }
  ~load() {
    for (auto &c : clients)
      if (c.fd >= 0)
        close(c.fd);
    close(epoll);
  }

  void run() {
    const int64_t begin = now_us();
    end_us = begin + opts.seconds * 1000000;
    for (size_t i = 0; i < clients.size(); ++i)
      start_request(i, begin);
    std::vector<epoll_event> events(clients.size() + 1);
    for (;;) {
      const int64_t now = now_us();
      if (stop_signal)
        break;
      if (now >= end_us && busy() == 0)
        break;
      const int ready =
          epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 10);
      if (ready < 0 && errno != EINTR)
        break;
      for (int i = 0; i < ready; ++i)
        on_event(events[i].data.u32, events[i].events);
      const int64_t after = now_us();
      if (after - swept_us >= sweep_every_us) {
        sweep(after);
        swept_us = after;
      }
    }
  }

  bool write_records() const {
    FILE *out = std::fopen(opts.out.c_str(), "w");
    if (!out)
      return false;
    for (const auto &r : records)
      std::fprintf(
          out, "%s %lld %lld %d %d\n", opts.groups[r.group].name.c_str(),
          static_cast<long long>(r.start_us), static_cast<long long>(r.end_us),
          r.status, r.marked ? 1 : 0);
    return std::fclose(out) == 0;
  }

  // The answered and failed requests of each group, and the CPU time the
  // tool itself used, so that a run can tell whether it was the bottleneck.
  void summary() const {
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    std::printf(
        "cpu_us=%lld\n",
        static_cast<long long>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) *
                1000000 +
            used.ru_utime.tv_usec + used.ru_stime.tv_usec);
    for (uint32_t g = 0; g < opts.groups.size(); ++g) {
      long done = 0, failed = 0;
      for (const auto &r : records)
        if (r.group == g)
          ++(r.status > 0 ? done : failed);
      std::printf("group=%s clients=%ld answered=%ld failed=%ld\n",
                  opts.groups[g].name.c_str(), opts.groups[g].clients, done,
                  failed);
    }
  }

private:
  size_t busy() const {
    size_t n = 0;
    for (const auto &c : clients)
      if (c.at == phase::connecting || c.at == phase::sending ||
          c.at == phase::reading)
        ++n;
    return n;
  }

  void watch(size_t index, uint32_t events, bool added) {
    epoll_event e{};
    e.events = events;
    e.data.u32 = static_cast<uint32_t>(index);
    epoll_ctl(epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, clients[index].fd,
              &e);
  }

  void drop_connection(client &c) {
    if (c.fd >= 0)
      close(c.fd);
    c.fd = -1;
  }

  // Starts the client's next request, on its kept connection or a new one;
  // after the run's end the client stays idle.
  void start_request(size_t index, int64_t now) {
    client &c = clients[index];
    if (now >= end_us || stop_signal) {
      c.at = phase::idle;
      drop_connection(c);
      return;
    }
    c.start_us = now;
    send_request(index, now);
  }

  // Sends the client's request on its kept connection, or on a new one.
  void send_request(size_t index, int64_t now) {
    client &c = clients[index];
    c.in.clear();
    c.answer = answer_state();
    c.sent = 0;
    if (c.fd >= 0) {
      c.at = phase::sending;
      send_some(index);
      return;
    }
    c.reused = false;
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const auto &address = opts.groups[c.group].address;
    if (connect(c.fd, reinterpret_cast<const sockaddr *>(&address),
                sizeof address) == 0) {
      c.at = phase::sending;
      watch(index, EPOLLOUT, true);
      send_some(index);
    } else if (errno == EINPROGRESS) {
      c.at = phase::connecting;
      watch(index, EPOLLOUT, true);
    } else {
      finish(index, no_connection, now);
    }
  }

  void send_some(size_t index) {
    client &c = clients[index];
    const std::string &request = opts.groups[c.group].request;
    while (c.sent < request.size()) {
      const ssize_t n = send(c.fd, request.data() + c.sent,
                             request.size() - c.sent, MSG_NOSIGNAL);
      if (n > 0) {
        c.sent += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        watch(index, EPOLLOUT, false);
        return;
      } else {
        finish(index, broken, now_us());
        return;
      }
    }
    c.at = phase::reading;
    watch(index, EPOLLIN, false);
  }

  void on_event(uint32_t index, uint32_t events) {
    client &c = clients[index];
    if (c.at == phase::connecting) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        finish(index, no_connection, now_us());
        return;
      }
      c.at = phase::sending;
    }
    if (c.at == phase::sending && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      send_some(index);
      return;
    }
    if (c.at == phase::reading)
      read_some(index);
  }

  void read_some(size_t index) {
    client &c = clients[index];
    char buffer[read_size];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;
    const int64_t now = now_us();
    if (n <= 0) {
      // The end of an answer that runs until the connection closes.
      const bool whole = n == 0 && c.answer.head_done && c.answer.until_close;
      finish(index, whole ? c.answer.status : broken, now);
      return;
    }
    c.in.append(buffer, static_cast<size_t>(n));
    if (!c.answer.head_done && !parse_head(c.in, opts.mark, c.answer))
      return;
    if (c.answer.status <= 0) {
      finish(index, broken, now);
      return;
    }
    if (answer_complete(c.in, c.answer))
      finish(index, c.answer.status, now);
  }

  // Records the request and starts the next; a failed one leaves its
  // connection and waits for the pause before the next.
  void finish(size_t index, int status, int64_t now) {
    client &c = clients[index];
    if (status == broken && c.reused && c.in.empty()) {
      // A kept connection the server closed while it was idle, as a server
      // may at any time: the request goes again on a new connection, as a
      // browser sends it, timed from its first start.
      drop_connection(c);
      send_request(index, now);
      return;
    }
    records.push_back(
        {c.group, status, status > 0 && c.answer.marked, c.start_us, now});
    c.reused = status > 0 && !c.answer.close_after;
    if (status < 0 || c.answer.close_after)
      drop_connection(c);
    if (status < 0) {
      c.at = phase::waiting;
      c.resume_us = now + retry_pause_us;
      return;
    }
    start_request(index, now);
  }

  // Ends requests over the cap and resumes clients whose pause is over.
  void sweep(int64_t now) {
    const int64_t cap_us = opts.cap_seconds * 1000000;
    for (size_t i = 0; i < clients.size(); ++i) {
      client &c = clients[i];
      if (c.at == phase::waiting && now >= c.resume_us)
        start_request(i, now);
      else if ((c.at == phase::connecting || c.at == phase::sending ||
                c.at == phase::reading) &&
               now - c.start_us >= cap_us)
        finish(i, over_cap, now);
    }
  }

  const options &opts;
  int epoll = -1;
  int64_t end_us = 0;
  int64_t swept_us = 0;
  std::vector<client> clients;
  std::vector<record> records;
};

} // namespace

int main(int argc, char **argv) {
  // A server that closes a connection must not end the run; SIGINT and
  // SIGTERM end it early, with what was recorded so far written out.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, on_stop);
  signal(SIGTERM, on_stop);
  options opts;
  if (!parse(argc, argv, opts)) {
    std::fputs(usage, stderr);
    return 2;
  }
  load run(opts);
  std::printf("start_us=%lld\n", static_cast<long long>(now_us()));
  std::fflush(stdout);
  run.run();
  if (!run.write_records()) {
    std::fprintf(stderr, "vornex-bench-load: cannot write %s: %s\n",
                 opts.out.c_str(), std::strerror(errno));
    return 1;
  }
  run.summary();
  return stop_signal ? 1 : 0;
}
