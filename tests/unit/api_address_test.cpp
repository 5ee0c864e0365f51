// Server address forms: how a configured text splits into host and port, and
// how a record is re-targeted.
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

} // namespace
