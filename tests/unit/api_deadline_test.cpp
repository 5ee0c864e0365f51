// The bound on one check call: whatever the server does, the call ends within
// its time limit (with a generous margin here), and an answer over its caps
// fails the call.
#include "api.h"
#include "test_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// What a slow server does after it accepted the connection.
enum class behaviour {
  silent,       // reads the request, never answers
  trickle_head, // reads the request, sends an endless head a byte at a time
  trickle_body, // sends a head with a long Content-Length, then a trickle
  never_reads,  // accepts and reads nothing (the check body fills the pipe)
  reads_slowly, // reads the check a byte at a time
};

// One-connection-at-a-time loopback server acting out a behaviour until it is
// destroyed; every wait is bounded so the destructor returns promptly.
class slow_server {
public:
  explicit slow_server(behaviour b) : what(b) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (what == behaviour::never_reads || what == behaviour::reads_slowly) {
      int small = 4096;
      setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 16);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    thread = std::thread([this] { run(); });
  }
  ~slow_server() {
    stopping = true;
    thread.join();
    close(listener);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port); }

private:
  bool wait_for(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
  }
  void read_request(int fd) {
    std::string got;
    char buf[65536];
    while (!stopping && got.find("\r\n\r\n") == std::string::npos) {
      if (!wait_for(fd, POLLIN, 50))
        continue;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0)
        return;
      got.append(buf, static_cast<size_t>(n));
    }
  }
  void trickle(int fd, const std::string &prefix, char filler) {
    if (!prefix.empty())
      send(fd, prefix.data(), prefix.size(), MSG_NOSIGNAL);
    while (!stopping) {
      if (send(fd, &filler, 1, MSG_NOSIGNAL) != 1)
        return;
      for (int i = 0; i < 4 && !stopping; ++i)
        std::this_thread::sleep_for(25ms);
    }
  }
  void serve(int fd) {
    switch (what) {
    case behaviour::silent:
      read_request(fd);
      while (!stopping && !wait_for(fd, POLLRDHUP, 50)) {
      }
      break;
    case behaviour::trickle_head:
      read_request(fd);
      trickle(fd, "HTTP/1.1 200 OK\r\nX-Long: ", 'a');
      break;
    case behaviour::trickle_body:
      read_request(fd);
      trickle(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", 'b');
      break;
    case behaviour::never_reads:
      while (!stopping && !wait_for(fd, POLLRDHUP, 50)) {
      }
      break;
    case behaviour::reads_slowly: {
      char byte;
      while (!stopping) {
        if (wait_for(fd, POLLIN, 50) && recv(fd, &byte, 1, 0) <= 0)
          return;
      }
      break;
    }
    }
  }
  void run() {
    while (!stopping) {
      if (!wait_for(listener, POLLIN, 50))
        continue;
      const int fd = accept(listener, nullptr, nullptr);
      if (fd < 0)
        continue;
      serve(fd);
      close(fd);
    }
  }

  behaviour what;
  int listener = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

int thread_count() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d))
      n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

struct slow_case {
  const char *name;
  behaviour what;
  size_t body_size;
};

void PrintTo(const slow_case &c, std::ostream *os) { *os << c.name; }

class SlowServer : public testing::TestWithParam<slow_case> {};

// Runs the call against a slow server with a 400 ms limit: it must end with
// the time-out text well within 5 s.
void expect_timed_out(vornex::api &record, size_t body_size) {
  record.set_time_limit(400ms);
  record.add_data(std::string(body_size, 'x'));
  const auto start = clock_type::now();
  std::string error;
  try {
    record.execute();
  } catch (const std::runtime_error &e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Connection timed out");
  EXPECT_EQ(record.last_failure(), vornex::api::failure::timeout);
  EXPECT_LT(clock_type::now() - start, 5s);
}

// Every slow behaviour ends the call with the time-out text within the limit
// (checked with a margin of seconds), leaving no thread behind.
TEST_P(SlowServer, CallEndsWithinItsLimit) {
  slow_server server(GetParam().what);
  vornex::api record(server.address());
  expect_timed_out(record, GetParam().body_size);
}

// The same with the process's watch ending the call, on a kept connection,
// which is then not kept.
TEST_P(SlowServer, WatchedKeptCallEndsWithinItsLimit) {
  slow_server server(GetParam().what);
  vornex::connection_pool pool(4);
  vornex::call_watch watch;
  vornex::api record(server.address());
  record.set_pool(&pool);
  record.set_watch(&watch);
  expect_timed_out(record, GetParam().body_size);
  const auto address = record.parse_server_name(server.address());
  EXPECT_EQ(pool.idle(address.first, address.second), 0u);
}

// One watch ends the calls of several threads at once, each at its own
// deadline.
TEST(CallWatch, EndsConcurrentCalls) {
  slow_server first(behaviour::trickle_head);
  slow_server second(behaviour::trickle_head);
  vornex::call_watch watch;
  std::vector<std::string> errors(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      vornex::api record((i == 0 ? first : second).address());
      record.set_watch(&watch);
      record.set_time_limit(i == 0 ? 200ms : 600ms);
      try {
        record.execute();
      } catch (const std::runtime_error &e) {
        errors[i] = e.what();
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(errors[0], "Connection timed out");
  EXPECT_EQ(errors[1], "Connection timed out");
}

// A process forked from the watch's owner is refused, and bounds its calls
// itself.
TEST(CallWatch, ForkedProcessIsRefused) {
  vornex::call_watch watch;
  httplib::ClientImpl client("127.0.0.1", 9);
  const unsigned long number =
      watch.watch(client, clock_type::now() + std::chrono::hours(1));
  ASSERT_NE(number, 0u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(watch.watch(client, clock_type::now()) == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(watch.unwatch(number));
}

// The watchdog of each call is joined before the call returns: ten timed-out
// calls leave no ten threads behind (a stray runtime thread is tolerated).
TEST(CallLimit, NoThreadOutlivesTheCall) {
  slow_server server(behaviour::silent);
  vornex::api record(server.address());
  record.set_time_limit(50ms);
  const int before = thread_count();
  for (int i = 0; i < 10; ++i)
    EXPECT_THROW(record.execute(), std::runtime_error);
  EXPECT_LT(thread_count(), before + 3);
}

const slow_case slow_cases[] = {
    {"Silent", behaviour::silent, 10},
    {"TrickleHead", behaviour::trickle_head, 10},
    {"TrickleBody", behaviour::trickle_body, 10},
    {"NeverReads", behaviour::never_reads, 16 << 20},
    {"ReadsSlowly", behaviour::reads_slowly, 16 << 20},
};

INSTANTIATE_TEST_SUITE_P(Behaviours, SlowServer, testing::ValuesIn(slow_cases),
                         [](const testing::TestParamInfo<slow_case> &i) {
                           return std::string(i.param.name);
                         });

// Without a time limit, a server that trickles its head forever is cut off
// within the default bound of 9 s (checked against 20 s).
TEST(CallLimit, DefaultBoundEndsEndlessHead) {
  slow_server server(behaviour::trickle_head);
  vornex::api record(server.address());
  const auto start = clock_type::now();
  EXPECT_THROW(record.execute(), std::runtime_error);
  EXPECT_LT(clock_type::now() - start, 20s);
}

// An answer body up to the cap gives its verdict; one byte more fails the
// call, so a hostile page is never held whole.
TEST(AnswerCaps, BodyCapIsInclusive) {
  vornex_test::canned_check_server server;
  vornex::api record(server.address());
  const size_t cap = vornex::api::answer_body_cap;
  server.answer(
      {200, {{"VX-X-Mitigation", "challenge"}}, std::string(cap, 'p')});
  EXPECT_EQ(record.execute(), 2);
  EXPECT_EQ(record.get_challenge_page().size(), cap);
  server.answer({200, {}, std::string(cap + 1, 'p')});
  try {
    record.execute();
    ADD_FAILURE() << "an answer over the cap was accepted";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Answer body too large");
  }
}

// An answer with more header lines than the cap fails the call; one at the
// cap gives its verdict.
TEST(AnswerCaps, HeaderLineCap) {
  vornex_test::canned_check_server server;
  vornex::api record(server.address());
  auto with_lines = [](size_t n) {
    httplib::Headers h{{"VX-X-Mitigation", "inject"}};
    // The library adds Content-Length and Keep-Alive/Connection lines of
    // its own; leave room for a few.
    for (size_t i = 1; i + 4 < n; ++i)
      h.emplace("X-H" + std::to_string(i), "v");
    return h;
  };
  server.answer({200, with_lines(vornex::api::answer_header_cap), ""});
  EXPECT_EQ(record.execute(), 7);
  server.answer({200, with_lines(2 * vornex::api::answer_header_cap), ""});
  try {
    record.execute();
    ADD_FAILURE() << "an answer over the header cap was accepted";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Answer has too many header lines");
  }
}

} // namespace
