#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>
#include <utility>

#include "pool_fixture.h"
#include "static_file.h"

using vornex::module::is_static_file;
using vornex::module::skip_target;
using vornex::module::static_file_pattern;
using vornex::module::without_path_parameters;

namespace {

// The pattern as Apache compiles it for the module: ignoring case, with the
// default DOTALL and DOLLAR_ENDONLY options.
class pattern {
public:
  pattern() {
    int error = 0;
    PCRE2_SIZE offset = 0;
    code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(static_file_pattern),
                         PCRE2_ZERO_TERMINATED,
                         PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY,
                         &error, &offset, nullptr);
    data = pcre2_match_data_create(10, nullptr);
  }
  ~pattern() {
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
  bool matches(const std::string &uri) const {
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(uri.c_str()),
                       uri.size(), 0, 0, data, nullptr) >= 0;
  }
  bool compiled() const { return code != nullptr; }

private:
  pcre2_code *code = nullptr;
  pcre2_match_data *data = nullptr;
};

} // namespace

// URIs that sites serve, and the edges of the rule, agree with the pattern.
TEST(StaticFile, AgreesWithThePatternOnATable) {
  const pattern re;
  ASSERT_TRUE(re.compiled());
  const struct {
    const char *uri;
    bool skipped;
  } cases[] = {
      {"/site.css", true},
      {"/wp-content/themes/x/style.min.css?ver=6.4.2", true},
      {"/img/Logo.PNG", true},
      {"/fonts/a.woff2", true},
      {"/fonts/a.woff", true},
      {"/fonts/a.woff3", false},
      {"/a.jpeg", true},
      {"/a.jpg", true},
      {"/a.jpgg", false},
      {"/a.pjpeg", true},
      {"/a.js?", true},
      {"/a.js?x=1?y", true},
      {"/index.php?file=a.css", true},
      {"/index.php?file=a.css&x=1", false},
      {"/index.php?file=a.css?x", true},
      {"/index.html", false},
      {"/", false},
      {"", false},
      {"/.css", false},
      {"//.css", false},
      {"/a/.css", false},
      {"/a.css/", false},
      {"/a.css/b", false},
      {"/a.css#x", false},
      {"a.css", false},
      {"x/a.css", true},
      {"/a.b.css", true},
      {"/a.css.php", false},
      {"/a..css", true},
      {"/a.css\n", false},
      {"/a\n.css", true},
      {"http://example.test/a.svg", true},
      {"/api/v1/users/12345/profile?x=1", false},
      // Bytes that only look like an extension's letters once their 0x20
      // bit is set: lower case is for ASCII letters alone.
      {"/a.mp\x13", false},
      {"/a.\xc3\xd3\xd3", false},
      {"/a.\x03ss", false},
      {"/a.J\x13", false},
      {"/a.AvIf", true},
      {"/a.MP4", true},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(re.matches(c.uri), c.skipped) << "pattern, " << c.uri;
    EXPECT_EQ(is_static_file(c.uri), c.skipped) << "matcher, " << c.uri;
  }
}

// Random URIs made of the bytes that decide a match agree with the pattern.
TEST(StaticFile, AgreesWithThePatternOnRandomUris) {
  const pattern re;
  ASSERT_TRUE(re.compiled());
  const std::string pieces[] = {"/",  ".", "?",   "\n",   "css", "CsS",  "js",
                                "jp", "e", "g",   "woff", "2",   "mp",   "3",
                                "p",  "x", "map", "webp", "a",   "apng", ";"};
  const std::string endings[] = {".css",   ".Js",   ".jpeg", ".jpgg",
                                 ".woff2", "/.css", ".x",    "."};
  std::mt19937 random(20261209);
  std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<size_t> ending(0, std::size(endings) - 1);
  std::uniform_int_distribution<int> count(0, 8);
  std::bernoulli_distribution half(0.5);
  int matched = 0;
  for (int i = 0; i < 200000; ++i) {
    // Random bytes, often an extension at the end of the path, often a query.
    std::string uri;
    for (int n = count(random); n > 0; --n)
      uri += pieces[piece(random)];
    if (half(random))
      uri += endings[ending(random)];
    if (half(random)) {
      uri += "?";
      for (int n = count(random); n > 0; --n)
        uri += pieces[piece(random)];
    }
    const bool expected = re.matches(uri);
    matched += expected;
    ASSERT_EQ(is_static_file(uri.c_str()), expected) << "uri: " << uri;
    // Asked for path parameters too, the answer is the same, and a ';'
    // before the first '?' is told; a match stops the pass only after it.
    bool parameters = false;
    ASSERT_EQ(is_static_file(uri.c_str(), &parameters), expected) << uri;
    ASSERT_EQ(parameters,
              uri.substr(0, uri.find('?')).find(';') != std::string::npos)
        << "uri: " << uri;
  }
  // The alphabet must reach both answers often, or the comparison says little.
  EXPECT_GT(matched, 5000);
  EXPECT_LT(matched, 190000);
}

// A long URI of dots takes one pass, not one per dot.
TEST(StaticFile, LongUriOfDotsIsNotSkipped) {
  std::string uri = "/" + std::string(1 << 20, '.');
  EXPECT_FALSE(is_static_file(uri.c_str()));
  uri += "css";
  EXPECT_TRUE(is_static_file(uri.c_str()));
}

using SkipTarget = vornex_test::pool_fixture;

// An origin-form target, "//" and "*" included, is matched as it is.
TEST_F(SkipTarget, OriginFormStaysAsItIs) {
  for (const char *target : {"/app.js", "/assets/App.JS?v=3", "/a.png?",
                             "//site.js?action=login", "*"})
    EXPECT_EQ(skip_target(pool, target), target) << target;
}

using resolver = const char *(*)(apr_pool_t *, const char *);

// Each target that `resolve` gives as the text paired with it.
void expect_resolved(
    apr_pool_t *pool, resolver resolve,
    std::initializer_list<std::pair<const char *, const char *>> cases) {
  for (const auto &c : cases)
    EXPECT_STREQ(resolve(pool, c.first), c.second) << c.first;
}

// An absolute-form target gives its path ("/" when it has none) and its
// query, never its host name.
TEST_F(SkipTarget, AbsoluteFormGivesPathAndQuery) {
  expect_resolved(pool, skip_target,
                  {{"http://site.js?action=login", "/?action=login"},
                   {"HTTPS://localhost.css:8443", "/"},
                   {"http://cdn.example.png?page=admin", "/?page=admin"},
                   {"http://x.test/a;b.css/c.js?v=1", "/a;b.css/c.js?v=1"}});
}

// Parameters leave each segment of the path, however short, and never the
// query; a path without any is handed back as it is.
TEST_F(SkipTarget, ParametersLeaveThePath) {
  expect_resolved(pool, without_path_parameters,
                  {{"/px/login;x.css", "/px/login"},
                   {"/px/login;x.css?a=1", "/px/login?a=1"},
                   {"/a;p=1/b;q.css;jsessionid=1", "/a/b"},
                   {"/;.css", "/"}});
  for (const char *target : {"/login?x=;a.css", "/app.js", "/"})
    EXPECT_EQ(without_path_parameters(pool, target), target) << target;
}
