// The stream the checks go through: what the meter lets the library hold of
// an answer, how the stream sends a check (held until the answer is wanted,
// then in as few sends as the socket allows) and reads the answer, and
// answers that never end, refused while they are read on new and on kept
// connections.
#include "answer_meter.h"
#include "api.h"
#include "check_stream.h"
#include "protocol.h"
#include "test_servers.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using vornex::answer_limits;
using vornex::answer_meter;
using excess = vornex::answer_meter::excess;
using std::chrono::milliseconds;

// ---- the meter ------------------------------------------------------------

// Bytes the library takes in reads of `asked` bytes each.
struct reads {
  std::string bytes;
  size_t asked;
};

// An answer as the library reads it: the head a byte at a time, then the
// answer handler, then the body's reads.
struct meter_case {
  const char *name;
  std::string head;
  std::vector<reads> body;
  excess over;
  size_t taken; // bytes counted, the one that went over a bound included
};

// Four head lines, 36 head bytes, lines of 8 bytes.
const answer_limits small_limits{4, 36, 8};

std::string lines(size_t count, const std::string &line) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += line;
  return out;
}

const excess none = excess::none;
const excess lines_over = excess::head_lines;
const excess head_over = excess::head_bytes;
const excess line_over = excess::line_bytes;
const std::string seven = "1234567";
const std::string chunk_end = "\r\n0\r\n\r\n";

const meter_case meter_cases[] = {
    {"HeadAtEveryBound", lines(4, seven + "\r\n"), {}, none, 36},
    {"HeadLineTooMany", lines(5, "1\r\n"), {}, lines_over, 15},
    {"HeadByteTooMany", lines(4, "123456\r\n") + "12345", {}, head_over, 37},
    {"LineTooLong", "123456789", {}, line_over, 9},
    {"CarriageReturnsAreLineBytes", std::string(9, '\r'), {}, line_over, 9},
    {"BodyLinesAreNoHeadLines", "1\r\n", {{lines(30, "1\r\n"), 1}}, none, 93},
    {"LongBodyLineIsRefused", "\r\n", {{"1;123456789", 1}}, line_over, 11},
    {"BodyDataIsNoLine", "\r\n", {{std::string(1000, 'x'), 100}}, none, 1002},
    {"DataEndsLine", "\r\n", {{seven, 1}, {"data", 4}, {seven, 1}}, none, 20},
    {"ChunkEnd", "\r\n2\r\n", {{"a", 2}, {"b", 1}, {chunk_end, 1}}, none, 14},
    {"NothingAfterABound", "123456789", {{"\n", 1}, {"body", 4}}, line_over, 9},
};

void PrintTo(const meter_case &c, std::ostream *os) { *os << c.name; }

class MeterCase : public testing::TestWithParam<meter_case> {};

// Each answer, read as the library reads it, stays within the limits or is
// refused at the byte that goes over them.
TEST_P(MeterCase, RefusesAtTheFirstByteOverABound) {
  answer_meter meter(small_limits);
  bool refused = false;
  const auto take = [&meter, &refused](const reads &r) {
    for (size_t at = 0; at < r.bytes.size(); at += r.asked) {
      const size_t length = std::min(r.asked, r.bytes.size() - at);
      const bool counted = meter.count(r.bytes.data() + at, length, r.asked);
      EXPECT_TRUE(counted || meter.over() != excess::none);
      refused = refused || !counted;
    }
  };
  take({GetParam().head, 1});
  meter.end_head();
  for (const reads &r : GetParam().body)
    take(r);
  EXPECT_EQ(meter.over(), GetParam().over);
  EXPECT_EQ(refused, GetParam().over != excess::none);
  EXPECT_EQ(meter.taken(), GetParam().taken);
}

INSTANTIATE_TEST_SUITE_P(Answers, MeterCase, testing::ValuesIn(meter_cases),
                         [](const testing::TestParamInfo<meter_case> &info) {
                           return std::string(info.param.name);
                         });

// ---- the stream on a socket pair -------------------------------------------

// A connected pair of sequenced-packet sockets: every send of the stream
// arrives as one packet, so the far side sees how many sends there were.
class packet_pair {
public:
  packet_pair() {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
      throw std::runtime_error("socketpair failed");
  }
  ~packet_pair() {
    for (int end : ends)
      if (end >= 0)
        ::close(end);
  }
  packet_pair(const packet_pair &) = delete;
  packet_pair &operator=(const packet_pair &) = delete;

  int near() const { return ends[0]; }
  void close_far() {
    ::close(ends[1]);
    ends[1] = -1;
  }
  // The packets waiting at the far end, each as it was sent.
  std::vector<std::string> packets() {
    std::vector<std::string> found;
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const ssize_t got =
          ::recv(ends[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got <= 0)
        return found;
      found.emplace_back(buffer.data(), static_cast<size_t>(got));
    }
  }
  void send_far(const std::string &bytes) {
    ASSERT_EQ(::send(ends[1], bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

private:
  int ends[2] = {-1, -1};
};

const answer_limits wide_limits{1004, 1 << 20, 8192};
// Waits in these tests end early, on data or a closed end; they run out
// only in the test that waits for nothing to come.
const milliseconds long_wait(30000);

// Reads an answer as the library reads a head: a byte at a time up to the
// empty line.
std::string read_head(vornex::check_stream &stream) {
  std::string head;
  char byte;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n")) {
    if (stream.read(&byte, 1) != 1)
      break;
    head += byte;
  }
  return head;
}

// A small check, head and body, goes out in one send, and only when the
// answer is read; the answer then comes whole.
TEST(CheckStream, SmallCheckGoesOutInOneSend) {
  packet_pair pair;
  answer_meter meter(wide_limits);
  vornex::check_stream stream(pair.near(), long_wait, long_wait, meter, true);
  const std::string head = "POST /v2.1/check HTTP/1.1\r\nContent-Length: 9\r\n"
                           "\r\n";
  EXPECT_TRUE(stream.is_writable());
  EXPECT_EQ(stream.write(head.data(), head.size()),
            static_cast<ssize_t>(head.size()));
  EXPECT_EQ(stream.write("the body.", 9), 9);
  EXPECT_TRUE(pair.packets().empty());

  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n";
  pair.send_far(answer + "ok");
  EXPECT_EQ(read_head(stream), answer);
  EXPECT_EQ(pair.packets(), std::vector<std::string>{head + "the body."});
  char body[4096];
  ASSERT_EQ(stream.read(body, sizeof body), 2);
  EXPECT_EQ(std::string(body, 2), "ok");
  EXPECT_FALSE(stream.send_failed());
}

// A large check goes out as the pieces come, the held head with the first
// piece, without waiting for the answer.
TEST(CheckStream, LargeCheckGoesOutPieceByPiece) {
  packet_pair pair;
  answer_meter meter(wide_limits);
  vornex::check_stream stream(pair.near(), long_wait, long_wait, meter, false);
  const std::string head = "POST /v2.1/check HTTP/1.1\r\n\r\n";
  const std::string first(64 * 1024, 'a');
  const std::string second(20 * 1024, 'b');
  const std::string last(100, 'c');
  stream.write(head.data(), head.size());
  stream.write(first.data(), first.size());
  EXPECT_EQ(pair.packets(), std::vector<std::string>{head + first});
  stream.write(second.data(), second.size());
  stream.write(last.data(), last.size());
  EXPECT_EQ(pair.packets(), std::vector<std::string>{second});
  pair.send_far("HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(read_head(stream), "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(pair.packets(), std::vector<std::string>{last});
}

// A server that has closed the connection gets nothing: the first send
// looks when told to, and every later one always; the answer's read fails
// as a failed send.
TEST(CheckStream, ClosedConnectionFailsTheSend) {
  for (const bool look_first : {true, false}) {
    SCOPED_TRACE(look_first ? "looks first" : "trusts the first send");
    packet_pair pair;
    answer_meter meter(wide_limits);
    vornex::check_stream stream(pair.near(), long_wait, long_wait, meter,
                                look_first);
    const std::string piece(64 * 1024, 'p');
    if (!look_first) {
      ASSERT_EQ(stream.write(piece.data(), piece.size()), 65536);
    }
    pair.close_far();
    EXPECT_EQ(stream.write("head", 4), 4);
    char byte;
    EXPECT_EQ(stream.read(&byte, 1), -1);
    EXPECT_TRUE(stream.send_failed());
    EXPECT_FALSE(stream.is_writable());
    EXPECT_EQ(stream.write(piece.data(), piece.size()), -1);
  }
}

// A wait that runs out fails the read; the end of the connection reads as
// its end.
TEST(CheckStream, SilenceFailsAndEndReadsAsEnd) {
  packet_pair pair;
  answer_meter meter(wide_limits);
  vornex::check_stream stream(pair.near(), milliseconds(20), long_wait, meter,
                              true);
  char byte;
  EXPECT_FALSE(stream.is_readable());
  EXPECT_EQ(stream.read(&byte, 1), -1);
  EXPECT_FALSE(stream.send_failed());
  pair.close_far();
  EXPECT_EQ(stream.read(&byte, 1), 0);
}

// Either way of waiting to receive, a poll before the receive or the
// receive itself on a socket with a receive time-out: a wait that runs out
// fails the read, an answer that comes is read whole, and the end of the
// connection reads as its end.
TEST(CheckStream, EachWayOfWaitingEndsOnSilenceAnswerAndEnd) {
  for (const bool receive_waits : {false, true}) {
    SCOPED_TRACE(receive_waits ? "receive waits" : "poll waits");
    packet_pair pair;
    const milliseconds wait(20);
    if (receive_waits) {
      timeval limit{0, 20000};
      ASSERT_EQ(::setsockopt(pair.near(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                             sizeof limit),
                0);
    }
    answer_meter meter(wide_limits);
    vornex::check_stream stream(pair.near(), wait, long_wait, meter, true,
                                receive_waits);
    char byte;
    EXPECT_EQ(stream.read(&byte, 1), -1);
    pair.send_far("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(read_head(stream),
              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    pair.close_far();
    EXPECT_EQ(stream.read(&byte, 1), 0);
  }
}

// A head over the meter's bound fails the read at that byte, and every
// read after it.
TEST(CheckStream, AnswerOverABoundFailsTheRead) {
  packet_pair pair;
  answer_meter meter({4, 1 << 20, 8192});
  vornex::check_stream stream(pair.near(), long_wait, long_wait, meter, true);
  pair.send_far("HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n");
  EXPECT_EQ(read_head(stream), "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r");
  EXPECT_EQ(meter.over(), excess::head_lines);
  char byte;
  EXPECT_EQ(stream.read(&byte, 1), -1);
}

// ---- answers without end, through the call ----------------------------------

const char answer_text[] = "Failed to read connection";
const char too_many_lines[] = "Answer has too many header lines";
const char head_too_large[] = "Answer headers too large";
const char body_too_large[] = "Answer body too large";

struct endless_case {
  const char *name;
  std::string head;
  std::string filler;
  const char *error;
};

const endless_case endless_cases[] = {
    {"HeaderLines", "HTTP/1.1 200 OK\r\n", "X-Endless: 1234567890\r\n",
     too_many_lines},
    {"InterimAnswers", "", "HTTP/1.1 100 Continue\r\n\r\n", too_many_lines},
    {"OneHeaderLine", "HTTP/1.1 200 OK\r\nX-Endless: ", std::string(4096, 'h'),
     answer_text},
    {"StatusLine", "HTTP/1.1 200 ", std::string(4096, 's'), answer_text},
    {"LongHeaderLines", "HTTP/1.1 200 OK\r\n",
     "X-Long: " + std::string(8000, 'l') + "\r\n", head_too_large},
    {"ChunkSizeLine", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;",
     std::string(4096, 'c'), answer_text},
    {"Chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
     "400\r\n" + std::string(1024, 'c') + "\r\n", body_too_large},
    {"BodyWithoutLength", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
     std::string(65536, 'b'), body_too_large},
};

void PrintTo(const endless_case &c, std::ostream *os) { *os << c.name; }

class EndlessAnswer : public testing::TestWithParam<endless_case> {};

std::string call_error(vornex::api &record) {
  try {
    record.execute();
  } catch (const std::runtime_error &e) {
    return e.what();
  }
  return "no error";
}

// An answer that never ends is refused as an answer once it goes over a
// bound, long before the call's 9 s, and the server sees the call go.
TEST_P(EndlessAnswer, IsRefusedWhileItIsRead) {
  vornex_test::endless_server server(GetParam().head, GetParam().filler);
  vornex::api record(server.address());
  EXPECT_EQ(call_error(record), GetParam().error);
  EXPECT_EQ(record.last_failure(), vornex::api::failure::answer);
  EXPECT_TRUE(server.abandoned(1));
}

// The same on a kept connection, watched by the process's watch: the
// refused connection is not kept. (A read error before the head is whole
// sends the check once more on a new connection, as for a connection the
// server closed while it was idle; the server's answer there is endless
// too.)
TEST_P(EndlessAnswer, IsRefusedOnAKeptConnection) {
  vornex_test::endless_server server(GetParam().head, GetParam().filler, true);
  vornex::connection_pool pool(4);
  vornex::call_watch watch;
  vornex::api record(server.address());
  record.set_pool(&pool);
  record.set_watch(&watch);
  EXPECT_EQ(record.execute(), vornex::protocol::pass);
  EXPECT_EQ(call_error(record), GetParam().error);
  EXPECT_EQ(record.last_failure(), vornex::api::failure::answer);
  const auto address = record.parse_server_name(server.address());
  EXPECT_EQ(pool.idle(address.first, address.second), 0u);
  EXPECT_TRUE(server.abandoned(1));
}

INSTANTIATE_TEST_SUITE_P(Answers, EndlessAnswer,
                         testing::ValuesIn(endless_cases),
                         [](const testing::TestParamInfo<endless_case> &info) {
                           return std::string(info.param.name);
                         });

// A head just under the cap on head bytes gives its verdict; a few lines
// more, still far under the cap on lines, fail the call.
TEST(AnswerCaps, HeadBytesCap) {
  const std::string line = "X-Filler: " + std::string(2000, 'f') + "\r\n";
  const size_t under = vornex::api::answer_header_bytes_cap / line.size() - 1;
  for (const size_t count : {under, under + 8}) {
    SCOPED_TRACE(count);
    vornex_test::raw_server server("HTTP/1.1 200 OK\r\n" + lines(count, line) +
                                   "VX-X-Mitigation: limit\r\n"
                                   "Content-Length: 0\r\n\r\n");
    vornex::api record(server.address());
    if (count == under) {
      EXPECT_EQ(record.execute(), vornex::protocol::limit);
      continue;
    }
    EXPECT_EQ(call_error(record), head_too_large);
    EXPECT_EQ(record.last_failure(), vornex::api::failure::answer);
  }
}

} // namespace
