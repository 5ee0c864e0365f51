// Faults: their syntax, the schedule, and what a client sees of each on a
// loopback connection.
#include "fault.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>

#include "running_server.h"

namespace vornex {
namespace check_server {
namespace {

using std::chrono::milliseconds;
using clock_type = fault_schedule::clock;

// Bounds every wait of a client in these tests; a working server is far
// quicker, so reaching it is a failure, never a timing.
const milliseconds patience(30000);

struct parse_case {
  const char *what;
  const char *text;
  fault_mode mode;
  long start_ms, length_ms, delay_ms;
  friend std::ostream &operator<<(std::ostream &os, const parse_case &c) {
    return os << c.text;
  }
};

class ParseFault : public ::testing::TestWithParam<parse_case> {};

// Each mode with its times, in whole and decimal seconds.
TEST_P(ParseFault, ReadsModeAndTimes) {
  fault f;
  std::string error;
  ASSERT_TRUE(parse_fault(GetParam().text, f, error)) << error;
  EXPECT_EQ(f.mode, GetParam().mode);
  EXPECT_EQ(f.start.count(), GetParam().start_ms);
  EXPECT_EQ(f.length.count(), GetParam().length_ms);
  EXPECT_EQ(f.delay.count(), GetParam().delay_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFault,
    ::testing::Values(
        parse_case{"silent", "silent:5:20", fault_mode::silent, 5000, 20000, 0},
        parse_case{"refuse", "refuse:0:0.5", fault_mode::refuse, 0, 500, 0},
        parse_case{"delay", "delay:1.25:3:2000", fault_mode::delay, 1250, 3000,
                   2000},
        parse_case{"answer", "answer:0.001:999999", fault_mode::answer, 1,
                   999999000, 0}),
    [](const auto &info) { return std::string(info.param.what); });

struct bad_fault_case {
  const char *what;
  const char *text;
  const char *error;
  friend std::ostream &operator<<(std::ostream &os, const bad_fault_case &c) {
    return os << c.text;
  }
};

class BadFault : public ::testing::TestWithParam<bad_fault_case> {};

// A wrong schedule is refused with what is wrong in it.
TEST_P(BadFault, IsRefused) {
  fault f;
  std::string error;
  EXPECT_FALSE(parse_fault(GetParam().text, f, error));
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadFault,
    ::testing::Values(
        bad_fault_case{"unknown_mode", "crash:0:1",
                       "mode is not answer, silent, refuse or delay"},
        bad_fault_case{"mode_only", "silent", "is not MODE:START:SECONDS"},
        bad_fault_case{"delay_without_ms", "delay:0:1",
                       "is not delay:START:SECONDS:DELAY_MS"},
        bad_fault_case{"ms_without_delay", "silent:0:1:5",
                       "is not MODE:START:SECONDS"},
        bad_fault_case{"negative_start", "refuse:-1:1",
                       "START is not a number of seconds"},
        bad_fault_case{"four_decimals", "refuse:0.0001:1",
                       "START is not a number of seconds"},
        bad_fault_case{"empty_fraction", "refuse:1.:1",
                       "START is not a number of seconds"},
        bad_fault_case{"zero_length", "silent:0:0",
                       "SECONDS is not a number of seconds above 0"},
        bad_fault_case{"seven_digits", "silent:0:1000000",
                       "SECONDS is not a number of seconds above 0"},
        bad_fault_case{"word_delay", "delay:0:1:soon",
                       "DELAY_MS is not a number of milliseconds"}),
    [](const auto &info) { return std::string(info.param.what); });

fault make_fault(fault_mode mode, long start_ms, long length_ms,
                 long delay_ms = 0) {
  fault f;
  f.mode = mode;
  f.start = milliseconds(start_ms);
  f.length = milliseconds(length_ms);
  f.delay = milliseconds(delay_ms);
  return f;
}

// Windows far in the future of the clock, so that none is pruned as past
// while they are added.
const auto origin = clock_type::now() + std::chrono::hours(24);

struct schedule_case {
  long at_ms;
  fault_mode mode;
  long until_ms;
  long delay_ms;
};

// Overlapping faults: the one added last is in force where they overlap, and
// an answer window cuts a fault short; outside every window the server
// answers.
TEST(FaultSchedule, LastAddedWinsWhereFaultsOverlap) {
  fault_schedule faults;
  faults.add(make_fault(fault_mode::silent, 1000, 4000), origin);
  faults.add(make_fault(fault_mode::delay, 2000, 1000, 250), origin);
  faults.add(make_fault(fault_mode::answer, 4000, 500), origin);
  const schedule_case table[] = {
      {0, fault_mode::answer, 0, 0},       {999, fault_mode::answer, 0, 0},
      {1000, fault_mode::silent, 5000, 0}, {2500, fault_mode::delay, 3000, 250},
      {3000, fault_mode::silent, 5000, 0}, {4200, fault_mode::answer, 4500, 0},
      {4500, fault_mode::silent, 5000, 0}, {5000, fault_mode::answer, 0, 0}};
  for (const auto &c : table) {
    const auto state = faults.at(origin + milliseconds(c.at_ms));
    EXPECT_EQ(state.mode, c.mode) << "at " << c.at_ms << " ms";
    EXPECT_EQ(state.delay.count(), c.delay_ms) << "at " << c.at_ms << " ms";
    if (c.until_ms) {
      EXPECT_EQ(state.until, origin + milliseconds(c.until_ms))
          << "at " << c.at_ms << " ms";
    }
  }
  faults.clear();
  EXPECT_EQ(faults.at(origin + milliseconds(1500)).mode, fault_mode::answer);
}

// Only loopback peers may set faults.
TEST(FaultControl, LoopbackAddressesOnly) {
  const struct {
    const char *address;
    bool loopback;
  } table[] = {{"127.0.0.1", true},   {"127.9.8.7", true},
               {"::1", true},         {"::ffff:127.0.0.1", true},
               {"10.0.0.1", false},   {"::ffff:10.0.0.1", false},
               {"1270.0.0.1", false}, {"::2", false},
               {"fe80::1", false},    {"", false}};
  for (const auto &c : table)
    EXPECT_EQ(is_loopback(c.address), c.loopback) << c.address;
}

// A check sent on a connection of its own, so that the test sees exactly
// what comes back: an answer, nothing, the end of the connection, or a reset.
class raw_check {
public:
  raw_check(int port, const std::string &target) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = connect(fd, reinterpret_cast<sockaddr *>(&address),
                        sizeof address) == 0;
    const std::string body = "GET " + target + " HTTP/1.1\r\nHost: www\r\n";
    const std::string request =
        "POST /v2.1/check HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "VX-RemoteAddr: 10.0.0.5\r\nContent-Type: text/plain\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    sent =
        connected && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(request.size());
  }
  ~raw_check() { close(); }
  raw_check(const raw_check &) = delete;
  raw_check &operator=(const raw_check &) = delete;

  // What comes first within `wait`: "answer" (bytes), "silence" (nothing in
  // time), "closed" (the end of the connection) or "reset".
  std::string first_reply(milliseconds wait) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(wait.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(wait.count() % 1000 * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte = 0;
    const ssize_t got = recv(fd, &byte, 1, 0);
    if (got > 0)
      return "answer";
    if (got == 0)
      return "closed";
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return "silence";
    if (errno == ECONNRESET)
      return "reset";
    return std::string("error ") + std::to_string(errno);
  }

  void close() {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }

  bool connected = false;
  bool sent = false;

private:
  int fd = -1;
};

// Sets a fault through the control path; returns the status.
int control(int port, const std::string &text, std::string *reply = nullptr) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(std::chrono::seconds(30));
  auto result = client.Post(control_path, text, "text/plain");
  if (!result)
    return 0;
  if (reply)
    *reply = result->body;
  return result->status;
}

// Waits, up to the patience bound, for a log line that contains `text`.
bool logged(running_server &server, const std::string &text) {
  const auto deadline = clock_type::now() + patience;
  while (clock_type::now() < deadline) {
    for (const auto &line : server.log())
      if (line.find(text) != std::string::npos)
        return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

struct reply_case {
  const char *what;
  // Set through the control path before the check; empty for none.
  const char *fault;
  const char *reply;
  // The least time the reply may take: the delay, or the fault's span.
  long at_least_ms;
  // The log line's rule and verdict for the check.
  const char *logged;
  friend std::ostream &operator<<(std::ostream &os, const reply_case &c) {
    return os << c.what;
  }
};

class FaultReply : public ::testing::TestWithParam<reply_case> {};

// What a client sees of a check made while each fault is in force: refuse
// resets the connection, delay answers no sooner than the delay, and a
// silent fault that ends while the client still waits closes the connection
// without a byte of answer. Each check is logged with what became of it.
TEST_P(FaultReply, AsTheModeSays) {
  fault_schedule faults;
  running_server server(pass_all_rules(), 8, &faults);
  const auto start = clock_type::now();
  if (*GetParam().fault) {
    ASSERT_EQ(control(server.port, GetParam().fault), 200);
  }
  raw_check check(server.port, "/r");
  ASSERT_TRUE(check.sent);
  EXPECT_EQ(check.first_reply(patience), GetParam().reply);
  EXPECT_GE(clock_type::now() - start, milliseconds(GetParam().at_least_ms));
  EXPECT_TRUE(
      logged(server, std::string("\"GET /r HTTP/1.1\" ") + GetParam().logged))
      << GetParam().logged;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FaultReply,
    ::testing::Values(
        reply_case{"no_fault", "", "answer", 0, "pass-all pass"},
        reply_case{"refuse", "refuse:0:60", "reset", 0, "fault refuse"},
        reply_case{"delay", "delay:0:60:300", "answer", 300, "pass-all pass"},
        reply_case{"silent_ends", "silent:0:0.5", "closed", 500,
                   "fault silent"}),
    [](const auto &info) { return std::string(info.param.what); });

// A silent server reads the check and sends nothing; once the client gives
// up, the check is logged as held by the fault.
TEST(FaultSilent, ReadsTheCheckAndSendsNothing) {
  fault_schedule faults;
  running_server server(pass_all_rules(), 8, &faults);
  ASSERT_EQ(control(server.port, "silent:0:600"), 200);
  raw_check check(server.port, "/held");
  ASSERT_TRUE(check.sent);
  EXPECT_EQ(check.first_reply(milliseconds(500)), "silence");
  check.close();
  EXPECT_TRUE(logged(server, "\"GET /held HTTP/1.1\" fault silent"));
}

// A check held by a silent fault is let go without an answer when the server
// stops.
TEST(FaultSilent, StoppingServerClosesHeldCheck) {
  fault_schedule faults;
  auto server = std::make_unique<running_server>(pass_all_rules(), 8, &faults);
  ASSERT_EQ(control(server->port, "silent:0:600"), 200);
  raw_check check(server->port, "/held");
  ASSERT_TRUE(check.sent);
  EXPECT_EQ(check.first_reply(milliseconds(200)), "silence");
  server.reset();
  const std::string reply = check.first_reply(patience);
  EXPECT_TRUE(reply == "closed" || reply == "reset") << reply;
}

// "answer" through the control path ends a fault at once, and the control
// path stays open while checks are refused.
TEST(FaultControl, AnswerEndsAFault) {
  fault_schedule faults;
  running_server server(pass_all_rules(), 8, &faults);
  ASSERT_EQ(control(server.port, "refuse:0:600"), 200);
  {
    raw_check refused(server.port, "/before");
    EXPECT_EQ(refused.first_reply(patience), "reset");
  }
  ASSERT_EQ(control(server.port, "answer"), 200);
  raw_check answered(server.port, "/after");
  EXPECT_EQ(answered.first_reply(patience), "answer");
}

// The control path describes the fault it set, or says what is wrong.
TEST(FaultControl, RepliesWithTheFaultOrTheMistake) {
  fault_schedule faults;
  running_server server(pass_all_rules(), 8, &faults);
  const struct {
    const char *text;
    int status;
    const char *reply;
  } table[] = {
      {"silent:5:20\n", 200, "silent from +5.000 s for 20.000 s\n"},
      {"delay:0:1.5:2000", 200,
       "delay from +0.000 s for 1.500 s, answers after 2000 ms\n"},
      {"answer", 200, "answer\n"},
      {"refuse:x:1", 400, "'refuse:x:1': START is not a number of seconds\n"},
  };
  for (const auto &c : table) {
    std::string reply;
    EXPECT_EQ(control(server.port, c.text, &reply), c.status) << c.text;
    EXPECT_EQ(reply, c.reply) << c.text;
  }
}

// Without a schedule there is no control path.
TEST(FaultControl, AbsentWithoutSchedule) {
  running_server server(pass_all_rules());
  EXPECT_EQ(control(server.port, "silent:0:1"), 404);
}

} // namespace
} // namespace check_server
} // namespace vornex
