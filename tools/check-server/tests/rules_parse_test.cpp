#include "rules.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

const std::string example =
    std::string(CHECK_SERVER_SOURCE_DIR) + "/example.rules";

rule_set parse(const std::string &text) {
  return parse_rules(text, "t.rules", "");
}

// The shipped example parses and gives every verdict once by path, a rate
// rule and a default pass at the end.
TEST(Rules, ExampleFileShowsEveryVerdict) {
  const rule_set rules = load_rules(example);
  std::vector<std::string> names, verdicts;
  for (const auto &r : rules) {
    names.push_back(r.label());
    verdicts.push_back(verdict_name(r));
  }
  const std::vector<std::string> expected_names = {
      "pass",      "block",    "challenge", "captcha", "redirect",
      "fake",      "limit",    "inject",    "rate",    "fail",
      "bad-agent", "test-net", "default"};
  const std::vector<std::string> expected_verdicts = {
      "pass",  "block",  "challenge", "captcha", "redirect", "return_fake_data",
      "limit", "inject", "limit",     "500",     "block",    "captcha",
      "pass"};
  EXPECT_EQ(names, expected_names);
  EXPECT_EQ(verdicts, expected_verdicts);
  EXPECT_TRUE(rules.back().is_default);
  ASSERT_TRUE(rules[8].rate);
  EXPECT_EQ(rules[8].rate->limit, 5u);
  EXPECT_EQ(rules[8].rate->window_seconds, 10u);
  // The page file is read relative to the rules file.
  EXPECT_NE(rules[2].page.find("<html>"), std::string::npos);
}

// Unnamed rules are labelled by their line, the default rule as "default".
TEST(Rules, UnnamedRulesAreLabelledByLine) {
  const rule_set rules = parse("# x\n\nrule\ntarget a\nverdict block\n"
                               "default\r\nverdict pass\r\n");
  EXPECT_EQ(rules[0].label(), "line:3");
  EXPECT_EQ(rules[1].label(), "default");
}

struct error_case {
  const char *what;
  std::string text;
  const char *message;
  friend std::ostream &operator<<(std::ostream &os, const error_case &c) {
    return os << c.what;
  }
};

class RulesError : public ::testing::TestWithParam<error_case> {};

// A mistake is reported as FILE:LINE: what is wrong.
TEST_P(RulesError, NamesFileAndLine) {
  try {
    parse(GetParam().text);
    FAIL() << "parsed";
  } catch (const rules_error &e) {
    EXPECT_EQ(std::string(e.what()).rfind(GetParam().message, 0), 0u)
        << e.what();
  }
}

const std::string tail = "default\nverdict pass\n";

INSTANTIATE_TEST_SUITE_P(
    Table, RulesError,
    ::testing::Values(
        error_case{"empty_file", "", "t.rules:1: no default rule at the end"},
        error_case{"no_default", "rule\nverdict pass\n",
                   "t.rules:2: no default rule at the end"},
        error_case{"outside_rule", "verdict pass\n" + tail,
                   "t.rules:1: 'verdict' outside a rule"},
        error_case{"unknown_keyword", "rule\nverdit pass\n" + tail,
                   "t.rules:2: unknown keyword 'verdit'"},
        error_case{"no_verdict", "\nrule r\ntarget x\n" + tail,
                   "t.rules:2: rule has no verdict"},
        error_case{"two_verdicts", "rule\nverdict pass\nverdict block\n" + tail,
                   "t.rules:3: 'verdict' given twice"},
        error_case{"unknown_verdict", "rule\nverdict maybe\n" + tail,
                   "t.rules:2: unknown verdict 'maybe'"},
        error_case{"status_range", "rule\nverdict 99\n" + tail,
                   "t.rules:2: status 99 is not from 100 to 599"},
        error_case{"status_with_pass",
                   "rule\nverdict pass\nstatus 500\n" + tail,
                   "t.rules:3: 'status' goes only with a verdict keyword"},
        error_case{"bad_regex", "rule\ntarget a(\nverdict pass\n" + tail,
                   "t.rules:2: bad regular expression 'a('"},
        error_case{"empty_target", "rule\ntarget\nverdict pass\n" + tail,
                   "t.rules:2: 'target' needs a regular expression"},
        error_case{"bad_header_name",
                   "rule\nheader A:B x\nverdict pass\n" + tail,
                   "t.rules:2: bad header name 'A:B'"},
        error_case{"no_method", "rule\nmethod\nverdict pass\n" + tail,
                   "t.rules:2: 'method' needs at least one method"},
        error_case{"rate_words", "rule\nrate 5\n" + tail,
                   "t.rules:2: 'rate' needs a count and a window"},
        error_case{"rate_zero", "rule\nrate 0 10\n" + tail,
                   "t.rules:2: rate count '0'"},
        error_case{"rate_window", "rule\nrate 5 1.5\n" + tail,
                   "t.rules:2: rate window '1.5'"},
        error_case{"reserved_set",
                   "rule\nverdict inject\nset X-Mitigation a\n" + tail,
                   "t.rules:3: 'X-Mitigation' is given with 'verdict'"},
        error_case{"set_twice",
                   "rule\nverdict inject\nset A 1\nset A 2\n" + tail,
                   "t.rules:4: challenge header 'A' set twice"},
        error_case{"page_and_file",
                   "rule\nverdict captcha\npage a\n"
                   "page-file x.html\n" +
                       tail,
                   "t.rules:4: 'page' and 'page-file' in one rule"},
        error_case{"missing_page_file",
                   "rule\nverdict captcha\npage-file /nonexistent/p.html\n" +
                       tail,
                   "t.rules:3: cannot read page file"},
        error_case{"reason_twice",
                   "rule\nverdict block\nreason a\nreason b\n" + tail,
                   "t.rules:4: 'reason' given twice"},
        error_case{"duplicate_name",
                   "rule a\nverdict pass\nrule a\nverdict pass\n" + tail,
                   "t.rules:3: rule name 'a' is already used on line 1"},
        error_case{"bad_name", "rule a b\nverdict pass\n" + tail,
                   "t.rules:1: bad rule name 'a b'"},
        error_case{"matcher_in_default", "default\ntarget x\nverdict pass\n",
                   "t.rules:2: the default rule takes no matchers"},
        error_case{"rule_after_default", tail + "rule\nverdict pass\n",
                   "t.rules:3: a rule after the default rule"},
        error_case{"second_default", tail + tail,
                   "t.rules:3: a second default rule"}),
    [](const auto &info) { return std::string(info.param.what); });

// A rate rule without a verdict limits.
TEST(Rules, RateRuleDefaultsToLimit) {
  const rule_set rules = parse("rule\nrate 3 60\n" + tail);
  EXPECT_EQ(rules[0].kind, verdict_kind::limit);
}

// A rules file that cannot be opened is reported with its name.
TEST(Rules, MissingFileIsReported) {
  EXPECT_THROW(
      {
        try {
          load_rules("/nonexistent/x.rules");
        } catch (const rules_error &e) {
          EXPECT_STREQ(e.what(),
                       "/nonexistent/x.rules: cannot open the rules file");
          throw;
        }
      },
      rules_error);
}

} // namespace
} // namespace check_server
} // namespace vornex
