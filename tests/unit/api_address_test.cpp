// Server address forms: how a configured text splits into host and port, and
// how a record is re-targeted; addresses that name their scheme, and texts
// without one that keep their old reading.
#include "api.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <stdexcept>
#include <string>

namespace {

using vornex_test::canned_check_server;

struct address_case {
  const char *text;
  const char *host;
  int port;
};

const address_case accepted[] = {
    {"checks.example", "checks.example", 80},
    {"192.0.2.7", "192.0.2.7", 80},
    {"", "", 80},
    {" Checks.Example ", " Checks.Example ", 80},
    {"checks.example:8080", "checks.example", 8080},
    {":8080", "", 8080},
    {"[192.0.2.1]:81", "[192.0.2.1]", 81},
    {"checks.example: 81", "checks.example", 81},
    {"checks.example:+82", "checks.example", 82},
    {"checks.example:83/path", "checks.example", 83},
    {"checks.example:0", "checks.example", 0},
    {"checks.example:-5", "checks.example", -5},
    {"checks.example:70000", "checks.example", 70000},
    {"checks.example:2147483647", "checks.example", INT_MAX},
    {"checks.example:-2147483648", "checks.example", INT_MIN},
    {"[2001:db8::5]:8443", "2001:db8::5", 8443},
    {"[::1]:81", "::1", 81},
    {"x::1]:84", "::1", 84},
    {"[2001:db8::5]", "2001:db8::5", 80},
    {"[::1]", "::1", 80},
    {"2001:db8::5", "2001:db8::5", 80},
    {"::1", "::1", 80},
    {"fe80::1%eth0", "fe80::1%eth0", 80},
};

void PrintTo(const address_case &c, std::ostream *os) {
  *os << '"' << c.text << '"';
}

class AcceptedAddress : public testing::TestWithParam<address_case> {};

// Every accepted form yields its host and port, the port passed on unchecked.
TEST_P(AcceptedAddress, SplitsIntoHostAndPort) {
  const address_case &c = GetParam();
  vornex::api record("127.0.0.1");
  const auto server = record.parse_server_name(c.text);
  EXPECT_EQ(server.first, c.host);
  EXPECT_EQ(server.second, c.port);
}

INSTANTIATE_TEST_SUITE_P(Forms, AcceptedAddress, testing::ValuesIn(accepted));

enum class failure { invalid_argument, out_of_range };

struct refused_case {
  const char *text;
  failure expected;
};

const refused_case refused[] = {
    {"checks.example:", failure::invalid_argument},
    {"checks.example:http", failure::invalid_argument},
    {"checks.example:-", failure::invalid_argument},
    {"checks.example: ", failure::invalid_argument},
    {"[::1]:", failure::invalid_argument},
    {"[::1]:port", failure::invalid_argument},
    {"checks.example:2147483648", failure::out_of_range},
    {"checks.example:-2147483649", failure::out_of_range},
    {"[::1]:99999999999", failure::out_of_range},
};

// Calls `action` and checks that it throws the expected type, worded "stoi".
template <typename Action> void expect_stoi_failure(failure f, Action action) {
  try {
    action();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument &e) {
    EXPECT_EQ(f, failure::invalid_argument) << "got invalid_argument";
    EXPECT_STREQ(e.what(), "stoi");
  } catch (const std::out_of_range &e) {
    EXPECT_EQ(f, failure::out_of_range) << "got out_of_range";
    EXPECT_STREQ(e.what(), "stoi");
  }
}

void PrintTo(const refused_case &c, std::ostream *os) {
  *os << '"' << c.text << '"';
}

class RefusedAddress : public testing::TestWithParam<refused_case> {};

// A port text that does not convert throws from parsing and construction.
TEST_P(RefusedAddress, ThrowsStoiFromParseAndConstructor) {
  const refused_case &c = GetParam();
  vornex::api record("127.0.0.1");
  expect_stoi_failure(c.expected, [&] { record.parse_server_name(c.text); });
  expect_stoi_failure(c.expected, [&] { vornex::api other(c.text); });
  expect_stoi_failure(c.expected, [&] { record.set_server_name(c.text); });
}

INSTANTIATE_TEST_SUITE_P(Forms, RefusedAddress, testing::ValuesIn(refused));

// A successful re-target sends the next call, with the same request, to the
// new server.
TEST(ServerName, SetServerNameSendsNextCallToNewServer) {
  canned_check_server first, second;
  vornex::api record(first.address());
  record.add_data("same request");
  EXPECT_EQ(record.execute(), 0);
  record.set_server_name(second.address());
  EXPECT_EQ(record.execute(), 0);
  EXPECT_EQ(first.checks(), 1);
  EXPECT_EQ(second.checks(), 1);
  EXPECT_EQ(second.last_body(), "same request");
}

// A re-target that fails to parse leaves the record aimed at its old server.
TEST(ServerName, FailedSetServerNameKeepsOldServer) {
  canned_check_server server;
  vornex::api record(server.address());
  EXPECT_THROW(record.set_server_name("127.0.0.1:none"), std::invalid_argument);
  EXPECT_THROW(record.set_server_name("127.0.0.1:99999999999"),
               std::out_of_range);
  EXPECT_EQ(record.execute(), 0);
  EXPECT_EQ(server.checks(), 1);
}

// ---- addresses with a scheme ---------------------------------------------

struct scheme_case {
  const char *text;
  const char *host;
  int port;
  bool tls;
};

const scheme_case with_scheme[] = {
    {"https://checks.example", "checks.example", 443, true},
    {"https://checks.example:8443", "checks.example", 8443, true},
    {"https://checks.example/", "checks.example", 443, true},
    {"HTTPS://Checks.Example:443", "Checks.Example", 443, true},
    {"https://192.0.2.7", "192.0.2.7", 443, true},
    {"https://[2001:db8::5]", "2001:db8::5", 443, true},
    {"https://[2001:db8::5]:8443/", "2001:db8::5", 8443, true},
    {"http://10.0.0.5:81", "10.0.0.5", 81, false},
    {"http://checks.example", "checks.example", 80, false},
    {"Http://[::1]:65535", "::1", 65535, false},
    {"http://check_1.internal:1", "check_1.internal", 1, false},
};

void PrintTo(const scheme_case &c, std::ostream *os) {
  *os << '"' << c.text << '"';
}

class SchemeAddress : public testing::TestWithParam<scheme_case> {};

// An address with http:// or https:// gives its host, its port (the
// scheme's by default) and whether the check goes over TLS.
TEST_P(SchemeAddress, GivesHostPortAndTransport) {
  const scheme_case &c = GetParam();
  EXPECT_TRUE(vornex::has_scheme(c.text));
  const vornex::server_address address = vornex::parse_server_address(c.text);
  EXPECT_EQ(address.host, c.host);
  EXPECT_EQ(address.port, c.port);
  EXPECT_EQ(address.tls, c.tls);
  EXPECT_TRUE(address.scheme);
  EXPECT_NO_THROW(vornex::api record(c.text));
}

INSTANTIATE_TEST_SUITE_P(Forms, SchemeAddress, testing::ValuesIn(with_scheme));

// The text, and what the refusal says; a case is shown by its text.
struct bad_scheme_case {
  const char *text;
  const char *says;
};

void PrintTo(const bad_scheme_case &c, std::ostream *out) {
  *out << '"' << c.text << '"';
}

const bad_scheme_case bad_schemes[] = {
    {"ftp://checks.example", "unknown scheme 'ftp'"},
    {"h2c://checks.example", "unknown scheme 'h2c'"},
    {"https://", "no host"},
    {"https://:443", "no host"},
    {"https://checks.example:", "from 1 to 65535"},
    {"https://checks.example:0", "from 1 to 65535"},
    {"https://checks.example:65536", "from 1 to 65535"},
    {"https://checks.example:+443", "from 1 to 65535"},
    {"https://checks.example:44x", "from 1 to 65535"},
    {"https://2001:db8::5", "in brackets"},
    {"https://[2001:db8::5", "no \"]\""},
    {"https://[checks.example]:443", "no IPv6 address"},
    {"https://[::1]x", "only \":port\""},
    {"https://user@checks.example", "no user name"},
    {"https://checks.example/v2.1/check", "nothing may follow"},
    {"https://checks.example?x", "nothing may follow"},
    {"https://checks example", "no host name or address"},
};

class BadSchemeAddress : public testing::TestWithParam<bad_scheme_case> {};

// An address with a scheme that is not of the two forms is refused with
// what is wrong, the text included; a record keeps its server.
TEST_P(BadSchemeAddress, IsRefusedSayingWhy) {
  const char *text = GetParam().text;
  try {
    vornex::parse_server_address(text);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().says), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
  }
  EXPECT_THROW(vornex::api record(text), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Forms, BadSchemeAddress,
                         testing::ValuesIn(bad_schemes));

// Texts without "scheme://" at their start are read exactly as
// parse_server_name reads them, failures included, and go over plain HTTP.
TEST(SchemeAddress, TextsWithoutSchemeKeepTheirReading) {
  const char *const texts[] = {
      "10.0.0.5",
      "10.0.0.5:81",
      "http:10.0.0.5",
      "https:443",
      "[2001:db8::5]",
      "::1",
      "//checks.example",
      "1http://x:81",
      ":8080",
      "checks.example:83/path",
      "x://y://z",
      "",
  };
  vornex::api record("127.0.0.1");
  for (const char *text : texts) {
    SCOPED_TRACE(text);
    const bool scheme = vornex::has_scheme(text);
    EXPECT_EQ(scheme, std::string(text) == "x://y://z");
    if (scheme)
      continue;
    const auto old = record.parse_server_name(text);
    const vornex::server_address address = vornex::parse_server_address(text);
    EXPECT_EQ(address.host, old.first);
    EXPECT_EQ(address.port, old.second);
    EXPECT_FALSE(address.tls);
    EXPECT_FALSE(address.scheme);
  }
  EXPECT_THROW(vornex::parse_server_address("https:x"), std::invalid_argument);
  EXPECT_THROW(vornex::parse_server_address("http:99999999999"),
               std::out_of_range);
}

// Host names and addresses are told apart for the server name and the
// certificate check.
TEST(SchemeAddress, IpLiteralsAreToldFromNames) {
  EXPECT_TRUE(vornex::is_ip_literal("127.0.0.1"));
  EXPECT_TRUE(vornex::is_ip_literal("2001:db8::5"));
  EXPECT_TRUE(vornex::is_ip_literal("::1"));
  EXPECT_FALSE(vornex::is_ip_literal("localhost"));
  EXPECT_FALSE(vornex::is_ip_literal("127.0.0.1.example"));
  EXPECT_FALSE(vornex::is_ip_literal(""));
}

} // namespace
