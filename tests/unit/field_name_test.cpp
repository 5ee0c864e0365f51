// Which challenge header names may be copied into a response.
#include "field_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vornex::field_name::server_only;
using vornex::field_name::set_cookie;
using vornex::field_name::valid;

// Names made only of token characters pass, whatever their case or length.
TEST(FieldName, TokenNamesAreValid) {
  const std::string names[] = {
      "Set-Cookie",
      "x",
      "X-A.B_C~D",
      "0",
      "!#$%&'*+-.^_`|~",
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
      std::string(10000, 'h')};
  for (const auto &name : names)
    EXPECT_TRUE(valid(name)) << name;
}

// An empty name, separators, whitespace, control bytes, DEL and bytes above
// 0x7e are refused, wherever in the name they stand.
TEST(FieldName, NamesWithNonTokenBytesAreInvalid) {
  const std::string names[] = {"",
                               "A B",
                               " A",
                               "A ",
                               "A:B",
                               "A\tB",
                               "A\rB",
                               "A\nB",
                               "\r\n",
                               std::string("A\0B", 3),
                               std::string(1, '\0'),
                               "A\x7f",
                               "\xff",
                               "A\x80"
                               "B",
                               "A\x01",
                               "(A)",
                               "A,B",
                               "A;B",
                               "A/B",
                               "A=B",
                               "A\"B",
                               "A?B",
                               "A@B",
                               "[A]",
                               "A\\B",
                               "{A}",
                               "<A>"};
  for (const auto &name : names)
    EXPECT_FALSE(valid(name)) << testing::PrintToString(name);
}

// Every single byte value: exactly the 77 token characters are accepted.
TEST(FieldName, ExactlyTheTokenBytesPass) {
  const std::string tokens =
      "!#$%&'*+-.^_`|~0123456789"
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  int accepted = 0;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const bool expected =
        tokens.find(static_cast<char>(b)) != std::string::npos;
    EXPECT_EQ(valid(one), expected) << "byte " << b;
    accepted += valid(one) ? 1 : 0;
  }
  EXPECT_EQ(accepted, 77);
}

} // namespace

// Framing, connection, proxy-hop and Host names are the server's in any
// letter case; names that merely contain or extend them are not.
TEST(FieldName, ServerOnlyNamesInAnyCase) {
  const char *const reserved[] = {"Content-Length",
                                  "content-length",
                                  "CONTENT-LENGTH",
                                  "Transfer-Encoding",
                                  "Trailer",
                                  "Connection",
                                  "Keep-Alive",
                                  "TE",
                                  "te",
                                  "Upgrade",
                                  "Host",
                                  "Proxy-Authenticate",
                                  "proxy-connection",
                                  "Proxy-"};
  const char *const others[] = {
      "Content-Type", "Content-Length2", "X-Content-Length", "Trailers",
      "Tee",          "Proxy",           "Hostname",         "Set-Cookie",
      "Cache-Control"};
  for (const char *name : reserved)
    EXPECT_TRUE(server_only(name)) << name;
  for (const char *name : others)
    EXPECT_FALSE(server_only(name)) << name;
}

// Set-Cookie is recognised in any letter case and only as the whole name.
TEST(FieldName, SetCookieInAnyCase) {
  EXPECT_TRUE(set_cookie("Set-Cookie"));
  EXPECT_TRUE(set_cookie("set-cookie"));
  EXPECT_TRUE(set_cookie("SET-COOKIE"));
  EXPECT_FALSE(set_cookie("Set-Cookie2"));
  EXPECT_FALSE(set_cookie("Cookie"));
  EXPECT_FALSE(set_cookie(""));
}
