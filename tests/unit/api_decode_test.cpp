// Verdict decoding: keyword and status, the VX- headers, the body, what a
// second call keeps, and the error texts.
#include "api.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>

namespace {

using vornex_test::canned_check_server;
using vornex_test::canned_reply;

using header_map = vornex::api::challenge_header_map;

struct keyword_case {
  const char *keyword;
  int code;
};

void PrintTo(const keyword_case &k, std::ostream *os) { *os << k.keyword; }

class KeywordVerdict
    : public testing::TestWithParam<std::tuple<keyword_case, int>> {};

// A keyword decides the code whatever the HTTP status is.
TEST_P(KeywordVerdict, KeywordDecidesOverStatus) {
  const keyword_case &k = std::get<0>(GetParam());
  const int status = std::get<1>(GetParam());
  canned_check_server server;
  server.answer(canned_reply{status, {{"VX-X-Mitigation", k.keyword}}, "p"});
  vornex::api record(server.address());
  EXPECT_EQ(record.execute(), k.code);
  EXPECT_TRUE(record.get_challenge_headers().empty());
  EXPECT_EQ(record.get_challenge_page(), "p");
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, KeywordVerdict,
    testing::Combine(testing::Values(keyword_case{"challenge", 2},
                                     keyword_case{"redirect", 3},
                                     keyword_case{"captcha", 4},
                                     keyword_case{"return_fake_data", 5},
                                     keyword_case{"limit", 6},
                                     keyword_case{"inject", 7}),
                     testing::Values(200, 403, 500)));

// One answer and what the record makes of it; none sets a reason or URL.
struct answer_case {
  const char *name;
  canned_reply reply;
  int code; // -1: throws with the body as message
  header_map challenge_headers;
};

const answer_case answers[] = {
    {"Status200WithoutKeywordPasses", {200, {}, "fine"}, 0, {}},
    {"Status403WithoutKeywordBlocks", {403, {}, "no"}, 1, {}},
    {"Status500WithoutKeywordThrowsBody", {500, {}, "service down"}, -1, {}},
    {"Status302WithoutKeywordThrowsBody", {302, {}, "moved"}, -1, {}},
    {"Status500WithEmptyBodyThrowsEmpty", {500, {}, ""}, -1, {}},
    {"KeywordInOtherCaseIsNoKeyword",
     {200, {{"VX-X-Mitigation", "Challenge"}}, ""},
     0,
     {}},
    {"UpperCaseKeywordLetsStatusDecide",
     {403, {{"VX-X-Mitigation", "LIMIT"}}, ""},
     1,
     {}},
    {"KeywordWithSurroundingTextIsNoKeyword",
     {200, {{"VX-X-Mitigation", "xchallenge"}}, ""},
     0,
     {}},
    {"KeywordListIsNoKeyword",
     {500, {{"VX-X-Mitigation", "limit,inject"}}, "bad"},
     -1,
     {}},
    {"LowerCasePrefixIsIgnored",
     {200,
      {{"vx-X-Mitigation", "challenge"}, {"vx-X-Reason", "r"}, {"Vx-A", "1"}},
      ""},
     0,
     {}},
    {"LowerCaseRestBecomesChallengeHeader",
     {200, {{"VX-x-mitigation", "challenge"}, {"VX-location", "/l"}}, ""},
     0,
     {{"x-mitigation", "challenge"}, {"location", "/l"}}},
    {"UnprefixedHeadersAreIgnored",
     {200, {{"X-Mitigation", "challenge"}, {"Location", "/x"}}, ""},
     0,
     {}},
    {"NameExactlyPrefixGivesEmptyName",
     {200, {{"VX-", "nameless"}}, ""},
     0,
     {{"", "nameless"}}},
    {"DuplicateRestLastWins",
     {200, {{"VX-Note", "first"}, {"VX-Note", "second"}}, ""},
     0,
     {{"Note", "second"}}},
    {"EverySetCookieIsKept",
     {200,
      {{"VX-Set-Cookie", "a=1"},
       {"VX-Note", "n"},
       {"VX-Set-Cookie", "b=2"},
       {"VX-Set-Cookie", "c=3"}},
      ""},
     0,
     {{"Note", "n"},
      {"Set-Cookie", "a=1"},
      {"Set-Cookie", "b=2"},
      {"Set-Cookie", "c=3"}}},
    {"EverySetCookieInLowerCaseIsKept",
     {200, {{"VX-set-cookie", "a=1"}, {"VX-set-cookie", "b=2"}}, ""},
     0,
     {{"set-cookie", "a=1"}, {"set-cookie", "b=2"}}},
    {"RestsDifferingInCaseStaySeparate",
     {200, {{"VX-Set-Cookie", "upper"}, {"VX-set-cookie", "lower"}}, ""},
     0,
     {{"Set-Cookie", "upper"}, {"set-cookie", "lower"}}},
};

void PrintTo(const answer_case &c, std::ostream *os) { *os << c.name; }

class AnswerVerdict : public testing::TestWithParam<answer_case> {};

// Each answer gives its code (or the body as error), its challenge headers
// and its page.
TEST_P(AnswerVerdict, AnswerDecodesAsExpected) {
  const answer_case &c = GetParam();
  canned_check_server server;
  server.answer(c.reply);
  vornex::api record(server.address());
  if (c.code < 0) {
    try {
      record.execute();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &e) {
      EXPECT_EQ(std::string(e.what()), c.reply.body);
    }
  } else {
    EXPECT_EQ(record.execute(), c.code);
  }
  EXPECT_EQ(record.get_challenge_headers(), c.challenge_headers);
  EXPECT_EQ(record.get_challenge_page(), c.reply.body);
  EXPECT_TRUE(record.get_reason().empty());
  EXPECT_TRUE(record.get_mitigation_url().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerVerdict, testing::ValuesIn(answers),
                         [](const testing::TestParamInfo<answer_case> &info) {
                           return std::string(info.param.name);
                         });

// Reason and redirect target arrive percent-decoded (a plus stays a plus)
// and do not become challenge headers.
TEST(Verdict, ReasonAndLocationAreDecodedApart) {
  canned_check_server server;
  server.answer(
      canned_reply{403,
                   {{"VX-X-Mitigation", "redirect"},
                    {"VX-X-Reason", "bot%20score"},
                    {"VX-Location", "https%3A%2F%2Fsite.example%2Fv%3Fa%3D1+2"},
                    {"VX-Retry", "a%2Cb"}},
                   ""});
  vornex::api record(server.address());
  EXPECT_EQ(record.execute(), 3);
  EXPECT_EQ(record.get_reason(), "bot score");
  EXPECT_EQ(record.get_mitigation_url(), "https://site.example/v?a=1+2");
  EXPECT_EQ(record.get_challenge_headers(), (header_map{{"Retry", "a,b"}}));
}

// A second answer without a keyword is decided by its own status, not by the
// keyword an earlier answer left in the record.
TEST(SecondCall, EarlierKeywordDoesNotDecideLaterAnswer) {
  canned_check_server server;
  server.answer(canned_reply{200, {{"VX-X-Mitigation", "challenge"}}, ""});
  vornex::api record(server.address());
  ASSERT_EQ(record.execute(), 2);
  server.answer(canned_reply{200, {}, ""});
  EXPECT_EQ(record.execute(), 0);
  server.answer(canned_reply{403, {}, ""});
  EXPECT_EQ(record.execute(), 1);
  server.answer(canned_reply{500, {}, "down"});
  EXPECT_THROW(record.execute(), std::runtime_error);
}

// Reason and mitigation URL survive answers that do not carry them and are
// replaced by answers that do; challenge headers and page always describe the
// latest answer.
TEST(SecondCall, ReasonAndUrlPersistUntilReplaced) {
  canned_check_server server;
  server.answer(canned_reply{403,
                             {{"VX-X-Mitigation", "redirect"},
                              {"VX-X-Reason", "first"},
                              {"VX-Location", "/first"},
                              {"VX-A", "1"}},
                             "page one"});
  vornex::api record(server.address());
  ASSERT_EQ(record.execute(), 3);

  server.answer(canned_reply{200, {{"VX-B", "2"}}, "page two"});
  EXPECT_EQ(record.execute(), 0);
  EXPECT_EQ(record.get_reason(), "first");
  EXPECT_EQ(record.get_mitigation_url(), "/first");
  EXPECT_EQ(record.get_challenge_headers(), (header_map{{"B", "2"}}));
  EXPECT_EQ(record.get_challenge_page(), "page two");

  server.answer(canned_reply{200, {{"VX-X-Reason", "second"}}, ""});
  EXPECT_EQ(record.execute(), 0);
  EXPECT_EQ(record.get_reason(), "second");
  EXPECT_EQ(record.get_mitigation_url(), "/first");
  EXPECT_TRUE(record.get_challenge_headers().empty());
  EXPECT_TRUE(record.get_challenge_page().empty());
}

// Every client error has the operator's wording; anything else is "Unknown".
TEST(ErrorText, EveryErrorHasItsText) {
  using httplib::Error;
  const struct {
    Error error;
    const char *text;
  } texts[] = {
      {Error::Success, "Unknown"},
      {Error::Unknown, "Unknown"},
      {Error::Connection, "Could not establish connection"},
      {Error::BindIPAddress, "Failed to bind IP address"},
      {Error::Read, "Failed to read connection"},
      {Error::Write, "Failed to write connection"},
      {Error::ExceedRedirectCount, "Maximum redirect count exceeded"},
      {Error::Canceled, "Connection handling canceled"},
      {Error::SSLConnection, "SSL connection failed"},
      {Error::SSLLoadingCerts, "SSL certificate loading failed"},
      {Error::SSLServerVerification, "SSL server verification failed"},
      {Error::UnsupportedMultipartBoundaryChars,
       "Unsupported HTTP multipart boundary characters"},
      {Error::Compression, "Compression failed"},
      {Error::ConnectionTimeout, "Connection timed out"},
  };
  for (const auto &t : texts) {
    SCOPED_TRACE(static_cast<int>(t.error));
    EXPECT_EQ(vornex::api::error_text(t.error), t.text);
  }
  EXPECT_EQ(vornex::api::error_text(static_cast<Error>(999)), "Unknown");
}

} // namespace
