#include "rate.h"
#include "rules.h"
#include "service.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

using std::chrono::seconds;

rule_set parse(const std::string &text) {
  return parse_rules(text, "t.rules", "");
}

check_request request_of(const std::string &data) {
  check_request request;
  std::string error;
  EXPECT_TRUE(parse_check_body(data, request, error)) << error;
  return request;
}

struct match_case {
  const char *what;
  const char *matchers;
  const char *check_body;
  bool matches;
  friend std::ostream &operator<<(std::ostream &os, const match_case &c) {
    return os << c.what;
  }
};

class Matching : public ::testing::TestWithParam<match_case> {};

const httplib::Headers facts = {{"VX-RemoteAddr", "192.0.2.7"},
                                {"VX-SSLProto", "TLSv1.3"}};

// A rule holds exactly when all of its matchers hold.
TEST_P(Matching, AllMatchersMustHold) {
  const rule_set rules = parse(std::string("rule\n") + GetParam().matchers +
                               "verdict block\ndefault\nverdict pass\n");
  EXPECT_EQ(matches(rules[0], request_of(GetParam().check_body), facts),
            GetParam().matches);
}

const char get_a[] = "GET /a/b?q=1 HTTP/1.1\r\nHost: x\r\nAccept: text/css\r\n"
                     "Accept: text/html\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Matching,
    ::testing::Values(
        match_case{"no_matcher", "", get_a, true},
        match_case{"method_in_list", "method POST GET\n", get_a, true},
        match_case{"method_not_in_list", "method POST\n", get_a, false},
        match_case{"method_case_matters", "method get\n", get_a, false},
        match_case{"target_found", "target /b\n", get_a, true},
        match_case{"target_anchored", "target ^/b\n", get_a, false},
        match_case{"target_query", "target q=1$\n", get_a, true},
        match_case{"header_any_case", "header accept\n", get_a, true},
        match_case{"header_absent", "header Cookie\n", get_a, false},
        match_case{"header_second_value", "header Accept ^text/html$\n", get_a,
                   true},
        match_case{"header_no_value", "header Accept json\n", get_a, false},
        match_case{"fact_value", "fact VX-RemoteAddr ^192\\.0\\.2\\.\n", get_a,
                   true},
        match_case{"fact_value_differs", "fact VX-RemoteAddr ^10\\.\n", get_a,
                   false},
        match_case{"fact_any_case", "fact vx-sslproto 1\\.3\n", get_a, true},
        match_case{"fact_absent", "fact VX-SSLCipher\n", get_a, false},
        match_case{"all_hold", "method GET\ntarget ^/a\nheader Host x\n", get_a,
                   true},
        match_case{"one_fails", "method GET\ntarget ^/a\nheader Host y\n",
                   get_a, false},
        match_case{"two_targets", "target ^/a\ntarget nope\n", get_a, false}),
    [](const auto &info) { return std::string(info.param.what); });

// A pattern searches a megabyte-long text without exhausting the stack.
TEST(Pattern, SearchesVeryLongText) {
  const pattern p("^(a|b)*c$");
  std::string text(1 << 20, 'a');
  EXPECT_FALSE(p.search(text));
  text += 'c';
  EXPECT_TRUE(p.search(text));
}

// A pattern sees the bytes after a NUL byte.
TEST(Pattern, SearchesPastNulByte) {
  EXPECT_TRUE(pattern("z").search(std::string("a\0z", 3)));
}

const auto t0 = rate_counter::clock::time_point() + seconds(1000);

// A client gets `limit` requests in its window and is over the rate after.
TEST(Rate, LimitsAfterCountInWindow) {
  rate_counter counter(3, seconds(10));
  std::vector<bool> over;
  for (int i = 0; i < 5; ++i)
    over.push_back(counter.over("a", t0 + seconds(i)));
  EXPECT_EQ(over, (std::vector<bool>{false, false, false, true, true}));
}

// Clients are counted apart from each other.
TEST(Rate, CountsClientsApart) {
  rate_counter counter(1, seconds(10));
  EXPECT_FALSE(counter.over("a", t0));
  EXPECT_FALSE(counter.over("b", t0));
  EXPECT_TRUE(counter.over("a", t0));
}

// Once the window has run out the client starts afresh.
TEST(Rate, NewWindowStartsAfresh) {
  rate_counter counter(1, seconds(10));
  EXPECT_FALSE(counter.over("a", t0));
  EXPECT_TRUE(counter.over("a", t0 + seconds(9)));
  EXPECT_FALSE(counter.over("a", t0 + seconds(10)));
  EXPECT_TRUE(counter.over("a", t0 + seconds(11)));
}

// A stream of one-off clients, one a second with a ten-second window, does
// not pile up: clients whose window ran out are dropped.
TEST(Rate, ForgetsExpiredClients) {
  rate_counter counter(1, seconds(10));
  for (int i = 0; i < 20000; ++i)
    counter.over("c" + std::to_string(i), t0 + seconds(i));
  EXPECT_LE(counter.clients(), 4096u);
}

// The first rule that holds decides; a rate rule holds only once its
// client is over the rate, and until then the later rules decide.
TEST(Service, FirstMatchWinsAndRateFallsThrough) {
  check_service service(parse("rule r\ntarget ^/r\nrate 2 60\n"
                              "rule slash\ntarget ^/\nverdict inject\n"
                              "rule never\ntarget ^/r\nverdict block\n" +
                              std::string("default\nverdict pass\n")));
  const httplib::Headers client = {{"VX-RemoteAddr", "10.0.0.1"}};
  std::vector<std::string> decided;
  for (int i = 0; i < 3; ++i)
    decided.push_back(service.check(client, "GET /r HTTP/1.1\r\n", t0).rule);
  EXPECT_EQ(decided, (std::vector<std::string>{"slash", "slash", "r"}));
  EXPECT_EQ(service.check(client, "GET x HTTP/1.1\r\n", t0).rule, "default");
}

// A malformed check body is answered 400 with its reason and logged so.
TEST(Service, MalformedBodyIsAnswered400) {
  check_service service(pass_all_rules());
  const auto outcome =
      service.check({{"VX-RemoteAddr", "10.0.0.2"}}, "GET / HTTP/1.1", t0);
  EXPECT_EQ(outcome.response.status, 400);
  EXPECT_EQ(outcome.response.body, "request line without line end");
  EXPECT_EQ(log_line(outcome, std::chrono::microseconds(7)),
            "10.0.0.2 \"-\" invalid 400 7us (request line without line end)");
}

// The log line quotes the request line with its odd bytes escaped.
TEST(Service, LogLineEscapesRequestLine) {
  check_outcome outcome;
  outcome.client = "-";
  outcome.request_line = "GET /\"\x80 HTTP/1.1";
  outcome.rule = "line:4";
  outcome.verdict = "challenge";
  EXPECT_EQ(log_line(outcome, std::chrono::microseconds(12)),
            "- \"GET /\\x22\\x80 HTTP/1.1\" line:4 challenge 12us");
}

} // namespace
} // namespace check_server
} // namespace vornex
