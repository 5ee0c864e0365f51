// The check request record: what a fresh record holds, the setters, the body
// and clear(), observed through the getters and the bytes on the wire.
#include "api.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using vornex_test::raw_server;
using vornex_test::split_request;
using vornex_test::wire_request;

const char ok_reply[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

const char *const fact_headers[] = {"VX-RemoteAddr", "VX-RemotePort",
                                    "VX-ConnAddr",   "VX-SSLProto",
                                    "VX-SSLCipher",  "VX-SSLCurves"};

// A record aimed at a raw server whose requests the tests read back.
class RecordOnWire : public testing::Test {
protected:
  raw_server server{ok_reply};
  vornex::api record{server.address()};

  wire_request send() {
    EXPECT_EQ(record.execute(), 0);
    const auto requests = server.requests();
    EXPECT_FALSE(requests.empty());
    return split_request(requests.empty() ? std::string() : requests.back());
  }
};

std::string body_of(vornex::api &record) {
  return std::string(record.get_data(), record.get_data_size());
}

// A fresh record carries only its user agent and holds no verdict details.
TEST_F(RecordOnWire, FreshRecordSendsOnlyUserAgent) {
  EXPECT_EQ(record.get_data_size(), 0u);
  EXPECT_TRUE(record.get_challenge_headers().empty());
  EXPECT_TRUE(record.get_challenge_page().empty());
  EXPECT_TRUE(record.get_mitigation_url().empty());
  EXPECT_TRUE(record.get_reason().empty());

  const wire_request request = send();
  ASSERT_EQ(request.values("User-Agent").size(), 1u);
  for (const char *name : fact_headers)
    EXPECT_TRUE(request.values(name).empty()) << name;
  EXPECT_EQ(request.values("Content-Length"), std::vector<std::string>{"0"});
}

struct setter_case {
  void (vornex::api::*setter)(const std::string &);
  const char *header;
};

const setter_case setters[] = {
    {&vornex::api::set_remote_addr, "VX-RemoteAddr"},
    {&vornex::api::set_remote_port, "VX-RemotePort"},
    {&vornex::api::set_conn_addr, "VX-ConnAddr"},
    {&vornex::api::set_ssl_proto, "VX-SSLProto"},
    {&vornex::api::set_ciphers, "VX-SSLCipher"},
    {&vornex::api::set_curves, "VX-SSLCurves"},
};

// Each fact setter adds its own header, and a second call adds a second line
// instead of replacing the first; an empty value still goes out.
TEST_F(RecordOnWire, FactSettersAddAndNeverReplace) {
  for (const auto &s : setters) {
    (record.*s.setter)(std::string(s.header) + "-one");
    (record.*s.setter)(std::string(s.header) + "-two");
    (record.*s.setter)("");
  }
  const wire_request request = send();
  for (const auto &s : setters) {
    SCOPED_TRACE(s.header);
    EXPECT_EQ(request.values(s.header),
              (std::vector<std::string>{std::string(s.header) + "-one",
                                        std::string(s.header) + "-two", ""}));
  }
  EXPECT_EQ(request.values("User-Agent").size(), 1u);
}

// add_data keeps every byte, NUL included, and appends in call order.
TEST(RecordBody, AddDataAppendsEveryByte) {
  vornex::api record("127.0.0.1");
  const std::string with_nul("a\0b", 3);
  record.add_data(with_nul);
  record.add_data("\0\xff\r\n", 4);
  EXPECT_EQ(body_of(record), std::string("a\0b\0\xff\r\n", 7));
}

// Appending an empty text or zero bytes leaves the body as it was.
TEST(RecordBody, AddDataOfNothingChangesNothing) {
  vornex::api record("127.0.0.1");
  record.add_data("kept");
  record.add_data(std::string());
  record.add_data("ignored", 0);
  EXPECT_EQ(body_of(record), "kept");
}

// clear() drops the request and the last response's headers and page, but
// keeps the server, the reason and the mitigation URL.
TEST(RecordClear, ClearResetsRequestAndKeepsVerdictStrings) {
  raw_server server("HTTP/1.1 403 Forbidden\r\n"
                    "VX-X-Mitigation: challenge\r\n"
                    "VX-X-Reason: bot\r\n"
                    "VX-Location: /verify\r\n"
                    "VX-Set-Cookie: c=1\r\n"
                    "Content-Length: 16\r\n\r\n"
                    "<p>challenge</p>");
  vornex::api record(server.address());
  record.set_remote_addr("192.0.2.1");
  record.add_data("GET / HTTP/1.1\r\n");
  ASSERT_EQ(record.execute(), 2);
  ASSERT_FALSE(record.get_challenge_headers().empty());
  ASSERT_FALSE(record.get_challenge_page().empty());

  record.clear();
  EXPECT_EQ(record.get_data_size(), 0u);
  EXPECT_TRUE(record.get_challenge_headers().empty());
  EXPECT_TRUE(record.get_challenge_page().empty());
  EXPECT_EQ(record.get_reason(), "bot");
  EXPECT_EQ(record.get_mitigation_url(), "/verify");

  EXPECT_EQ(record.execute(), 2);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u) << "clear() must keep the server";
  const wire_request request = split_request(requests[1]);
  EXPECT_EQ(request.values("User-Agent").size(), 1u);
  EXPECT_TRUE(request.values("VX-RemoteAddr").empty());
  EXPECT_EQ(request.body, "");
}

// XOR with a repeated key: once changes the bytes as the key says, twice
// restores them.
TEST(RecordEncode, EncodeDataTwiceRestoresBytes) {
  vornex::api record("127.0.0.1");
  std::vector<char> bytes(5, '\0');
  record.encode_data("ab", bytes);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "ababa");

  const std::vector<char> original = {'x', '\0', '\xff', 'y', '\n', 'z', 'q'};
  bytes = original;
  record.encode_data("k3y", bytes);
  EXPECT_NE(bytes, original);
  record.encode_data("k3y", bytes);
  EXPECT_EQ(bytes, original);
}

// An empty byte vector stays empty whatever the key.
TEST(RecordEncode, EncodeDataOfEmptyVectorChangesNothing) {
  vornex::api record("127.0.0.1");
  std::vector<char> bytes;
  record.encode_data("key", bytes);
  EXPECT_TRUE(bytes.empty());
}

// An empty key is refused before any byte is touched.
TEST(RecordEncode, EncodeDataWithEmptyKeyThrowsAndKeepsBytes) {
  vornex::api record("127.0.0.1");
  const std::vector<char> original = {'a', 'b', 'c'};
  std::vector<char> bytes = original;
  EXPECT_THROW(record.encode_data("", bytes), std::invalid_argument);
  EXPECT_EQ(bytes, original);
}

} // namespace
