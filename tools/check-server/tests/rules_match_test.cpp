#include "rules.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

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

} // namespace
} // namespace check_server
} // namespace vornex
