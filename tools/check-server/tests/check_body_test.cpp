#include "check_body.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

check_request parsed(const std::string &data) {
  check_request request;
  std::string error;
  EXPECT_TRUE(parse_check_body(data, request, error)) << error;
  return request;
}

// A body-less request gives its request line parts and every header line in
// order, a repeated header twice.
TEST(CheckBody, SplitsRequestLineAndKeepsHeaderOrder) {
  const auto request = parsed("GET /a?b=1 HTTP/1.1\r\nHost: x:8080\r\n"
                              "Cookie: a=1\r\nCookie: b=2\r\n");
  EXPECT_EQ(request.request_line, "GET /a?b=1 HTTP/1.1");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/a?b=1");
  EXPECT_EQ(request.protocol, "HTTP/1.1");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Host", "x:8080"}, {"Cookie", "a=1"}, {"Cookie", "b=2"}};
  EXPECT_EQ(request.headers, expected);
  EXPECT_FALSE(request.has_body);
}

// The bytes after the empty line are the body, line ends inside it included.
TEST(CheckBody, TakesEverythingAfterTheEmptyLineAsBody) {
  const auto request =
      parsed("POST /f HTTP/1.1\r\nContent-Length: 9\r\n\r\na\r\n\r\nb:c\r\n");
  ASSERT_EQ(request.headers.size(), 1u);
  EXPECT_TRUE(request.has_body);
  EXPECT_EQ(request.body_size, 10u);
}

// A request with an empty header table is its request line and line end.
TEST(CheckBody, AcceptsRequestWithoutHeaders) {
  const auto request = parsed("GET / HTTP/1.1\r\n");
  EXPECT_TRUE(request.headers.empty());
  EXPECT_EQ(request.target, "/");
}

// A request line without protocol, as HTTP/0.9 sends it, is accepted.
TEST(CheckBody, AcceptsRequestLineWithoutProtocol) {
  const auto request = parsed("GET /old\r\n");
  EXPECT_EQ(request.target, "/old");
  EXPECT_EQ(request.protocol, "");
}

// An empty header value is kept as empty.
TEST(CheckBody, KeepsEmptyHeaderValue) {
  const auto request = parsed("GET / HTTP/1.1\r\nX-Empty: \r\n");
  ASSERT_EQ(request.headers.size(), 1u);
  EXPECT_EQ(request.headers[0].second, "");
}

struct malformed_case {
  const char *what;
  std::string data;
  const char *reason;
  friend std::ostream &operator<<(std::ostream &os, const malformed_case &c) {
    return os << c.what;
  }
};

class MalformedCheckBody : public ::testing::TestWithParam<malformed_case> {};

// A check body not in the module's form is refused with a short reason.
TEST_P(MalformedCheckBody, IsRefusedWithReason) {
  check_request request;
  std::string error;
  EXPECT_FALSE(parse_check_body(GetParam().data, request, error));
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedCheckBody,
    ::testing::Values(
        malformed_case{"empty", "", "empty check body"},
        malformed_case{"no_line_end", "GET / HTTP/1.1", "without line end"},
        malformed_case{"empty_request_line", "\r\nHost: x\r\n",
                       "empty request line"},
        malformed_case{"one_word", "GET\r\n", "METHOD TARGET"},
        malformed_case{"four_words", "GET / HTTP/1.1 x\r\n", "METHOD TARGET"},
        malformed_case{"double_space", "GET  / HTTP/1.1\r\n", "METHOD TARGET"},
        malformed_case{"bad_method", "GE(T / HTTP/1.1\r\n", "bad method"},
        malformed_case{"tab_in_target", "GET /a\tb HTTP/1.1\r\n",
                       "control byte"},
        malformed_case{"nul_in_request_line",
                       std::string("GET /\0 HTTP/1.1\r\n", 17), "NUL byte"},
        malformed_case{"no_colon", "GET / HTTP/1.1\r\nHost x\r\n",
                       "without a colon"},
        malformed_case{"empty_name", "GET / HTTP/1.1\r\n: x\r\n",
                       "bad header name"},
        malformed_case{"space_in_name", "GET / HTTP/1.1\r\nBad Name: x\r\n",
                       "bad header name"},
        malformed_case{"unterminated_header", "GET / HTTP/1.1\r\nHost: x",
                       "header line without line end"},
        malformed_case{"bare_line_feed", "GET / HTTP/1.1\r\nA: 1\nB: 2\r\n",
                       "stray line break"},
        malformed_case{"nul_in_header",
                       std::string("GET / HTTP/1.1\r\nA: 1\0\r\n", 23),
                       "NUL byte"}),
    [](const auto &info) { return std::string(info.param.what); });

// Every cut of a valid check body either parses or is refused with a
// reason, and a cut inside a header line is always refused.
TEST(CheckBody, TruncationsNeverParseAHalfLine) {
  const std::string full = "POST /form HTTP/1.1\r\nHost: a\r\n"
                           "Content-Type: text/plain\r\n\r\nx=1";
  const size_t body_start = full.find("\r\n\r\n") + 4;
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    check_request request;
    std::string error;
    const std::string part = full.substr(0, cut);
    const bool ok = parse_check_body(part, request, error);
    const bool ends_a_line = cut >= 2 && part.compare(cut - 2, 2, "\r\n") == 0;
    if (cut < body_start - 2 && !ends_a_line) {
      EXPECT_FALSE(ok) << "cut at " << cut;
    }
    if (!ok) {
      EXPECT_FALSE(error.empty()) << "cut at " << cut;
    }
  }
}

// Random bytes laid over a valid check body are answered without a crash,
// and a refusal always carries a reason.
TEST(CheckBody, SurvivesScrambledBytes) {
  const std::string base = "GET /x HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n";
  unsigned state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 16;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string data = base;
    const unsigned flips = 1 + next() % 4;
    for (unsigned i = 0; i < flips; ++i)
      data[next() % data.size()] = static_cast<char>(next() % 256);
    check_request request;
    std::string error;
    if (!parse_check_body(data, request, error)) {
      EXPECT_FALSE(error.empty()) << round;
    }
  }
}

} // namespace
} // namespace check_server
} // namespace vornex
