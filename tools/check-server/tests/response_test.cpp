#include "response.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

rule only_rule(const std::string &settings) {
  return parse_rules("default\n" + settings, "t.rules", "")[0];
}

std::string header(const check_response &response, const std::string &name) {
  for (const auto &h : response.headers)
    if (h.first == name)
      return h.second;
  return "(none)";
}

struct verdict_case {
  const char *verdict;
  int status;
  const char *keyword;
  friend std::ostream &operator<<(std::ostream &os, const verdict_case &c) {
    return os << c.verdict;
  }
};

class VerdictResponse : public ::testing::TestWithParam<verdict_case> {};

// Each verdict goes out with its status and, for the keyword verdicts, the
// keyword in VX-X-Mitigation; pass, block and bare statuses carry none.
TEST_P(VerdictResponse, CarriesStatusAndKeyword) {
  const check_response response =
      build_response(only_rule(std::string("verdict ") + GetParam().verdict));
  EXPECT_EQ(response.status, GetParam().status);
  EXPECT_EQ(header(response, "VX-X-Mitigation"), GetParam().keyword);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerdictResponse,
    ::testing::Values(verdict_case{"pass", 200, "(none)"},
                      verdict_case{"block", 403, "(none)"},
                      verdict_case{"challenge", 200, "challenge"},
                      verdict_case{"captcha", 200, "captcha"},
                      verdict_case{"redirect", 200, "redirect"},
                      verdict_case{"return_fake_data", 200, "return_fake_data"},
                      verdict_case{"limit", 200, "limit"},
                      verdict_case{"inject", 200, "inject"},
                      verdict_case{"500", 500, "(none)"},
                      verdict_case{"302", 302, "(none)"}),
    [](const auto &info) { return std::string(info.param.verdict); });

// Reason, redirect target and challenge headers go out under the prefix,
// with the page as body.
TEST(Response, CarriesDetailsUnderPrefix) {
  const check_response response =
      build_response(only_rule("verdict challenge\nstatus 503\nset X-A 1\n"
                               "set Cache-Control no-store\nreason bot\n"
                               "location /l\npage <b>hi\npage </b>\n"));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"VX-X-Mitigation", "challenge"},
      {"VX-X-Reason", "bot"},
      {"VX-Location", "/l"},
      {"VX-X-A", "1"},
      {"VX-Cache-Control", "no-store"}};
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.headers, expected);
  EXPECT_EQ(response.body, "<b>hi\n</b>\n");
  EXPECT_EQ(response.content_type, "text/html; charset=utf-8");
}

// Percent signs and control bytes are escaped, everything else is sent as
// it is, so the module's decoding gives back the text.
TEST(Response, EscapesPercentAndControlBytes) {
  EXPECT_EQ(encode_value("100% a+b/%41\t\x7f\xc3\xa9"),
            "100%25 a+b/%2541%09%7F\xc3\xa9");
}

// A refused check body is answered 400 with the reason as plain text.
TEST(Response, BadRequestCarriesReason) {
  const check_response response = bad_request("empty check body");
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(response.body, "empty check body");
  EXPECT_TRUE(response.headers.empty());
}

} // namespace
} // namespace check_server
} // namespace vornex
