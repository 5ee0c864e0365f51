#include "service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornex {
namespace check_server {
namespace {

using std::chrono::seconds;

const auto t0 = rate_counter::clock::time_point() + seconds(1000);

rule_set parse(const std::string &text) {
  return parse_rules(text, "t.rules", "");
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
