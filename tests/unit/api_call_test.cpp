// The check call on the wire: the exact request bytes, failures to reach or
// hear from the server, refused answers and how the HTTP library reads
// unusual answers.
#include "api.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using vornex_test::canned_check_server;
using vornex_test::canned_reply;
using vornex_test::closed_port;
using vornex_test::raw_end;
using vornex_test::raw_server;
using vornex_test::split_request;
using vornex_test::wire_request;

using header_map = vornex::api::challenge_header_map;

const char ok_reply[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Runs the call and returns the message of the runtime_error it must throw.
std::string call_error(vornex::api &record) {
  try {
    const int code = record.execute();
    ADD_FAILURE() << "returned " << code << " instead of throwing";
  } catch (const std::runtime_error &e) {
    return e.what();
  }
  return std::string();
}

// Gives the record a previous response to compare against after a failure.
void give_previous_response(vornex::api &record) {
  canned_check_server previous;
  previous.answer(canned_reply{403,
                               {{"VX-X-Mitigation", "captcha"},
                                {"VX-X-Reason", "old reason"},
                                {"VX-Location", "/old"},
                                {"VX-Set-Cookie", "old=1"}},
                               "old page"});
  record.set_server_name(previous.address());
  ASSERT_EQ(record.execute(), 4);
}

void expect_previous_response(vornex::api &record) {
  EXPECT_EQ(record.get_challenge_headers(),
            (header_map{{"Set-Cookie", "old=1"}}));
  EXPECT_EQ(record.get_challenge_page(), "old page");
  EXPECT_EQ(record.get_reason(), "old reason");
  EXPECT_EQ(record.get_mitigation_url(), "/old");
}

// The request carries exactly the record's headers and body plus the
// library's own framing headers, and nothing else.
TEST(CheckRequest, WireBytesAreTheRecordAndTheFramingHeaders) {
  raw_server server(ok_reply);
  vornex::api record(server.address());
  record.set_remote_addr("192.0.2.10");
  record.set_remote_port("65535");
  record.set_conn_addr("198.51.100.2");
  record.set_ssl_proto("TLSv1.3");
  record.set_ciphers("TLS_AES_128_GCM_SHA256");
  record.set_curves("X25519");
  const std::string body = "POST /form HTTP/1.1\r\nHost: site.example\r\n\r\n" +
                           std::string("\0\x01\x7f\x80\xfe\xff\r\n", 8);
  record.add_data(body);
  ASSERT_EQ(record.execute(), 0);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  wire_request request = split_request(requests[0]);
  EXPECT_EQ(request.request_line, "POST /v2.1/check HTTP/1.1");
  EXPECT_EQ(request.body, body);

  const auto agents = request.values("User-Agent");
  ASSERT_EQ(agents.size(), 1u);
  const std::string &agent = agents[0];
  const std::string head =
      "Mozilla/5.0 (compatible; mod_vornex/1.3.0; +https://";
  const std::string tail = "/humans.txt)";
  EXPECT_EQ(agent.compare(0, head.size(), head), 0) << agent;
  ASSERT_GE(agent.size(), head.size() + tail.size());
  EXPECT_EQ(agent.substr(agent.size() - tail.size()), tail) << agent;

  EXPECT_TRUE(request.values("Accept-Encoding").empty());
  auto others = request.headers;
  others.erase(std::remove_if(others.begin(), others.end(),
                              [](const std::pair<std::string, std::string> &h) {
                                return h.first == "User-Agent";
                              }),
               others.end());
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Host", "127.0.0.1:" + std::to_string(server.port())},
      {"Accept", "*/*"},
      {"Connection", "close"},
      {"Content-Type", "text/plain"},
      {"Content-Length", std::to_string(body.size())},
      {"VX-RemoteAddr", "192.0.2.10"},
      {"VX-RemotePort", "65535"},
      {"VX-ConnAddr", "198.51.100.2"},
      {"VX-SSLProto", "TLSv1.3"},
      {"VX-SSLCipher", "TLS_AES_128_GCM_SHA256"},
      {"VX-SSLCurves", "X25519"},
  };
  std::sort(others.begin(), others.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(others, expected);
}

// A refused connection fails with the connection text and leaves the last
// response's details in the record.
TEST(CheckCall, UnreachableServerThrowsConnectionError) {
  vornex::api record("127.0.0.1");
  give_previous_response(record);
  closed_port nobody;
  record.set_server_name(nobody.address());
  EXPECT_EQ(call_error(record), "Could not establish connection");
  expect_previous_response(record);
}

// A server that accepts but never answers fails the call once the read
// time-out has run out.
TEST(CheckCall, SilentServerThrowsReadError) {
  raw_server silent("", raw_end::hold);
  vornex::api record(silent.address());
  EXPECT_EQ(call_error(record), "Failed to read connection");
}

struct unsafe_case {
  const char *name;
  const char *header_line;
};

const unsafe_case unsafe_values[] = {
    {"EscapedCrLf", "VX-Set-Cookie: a%0D%0AX-Evil: 1"},
    {"EscapedLf", "VX-A: a%0Ab"},
    {"EscapedCr", "VX-A: a%0Db"},
    {"EscapedNul", "VX-A: a%00b"},
    {"EscapedLfInLocation", "VX-Location: /a%0Ab"},
    {"EscapedLfInUnprefixedHeader", "X-Other: a%0Ab"},
    {"BareCr", "VX-A: a\rb"},
};

void PrintTo(const unsafe_case &c, std::ostream *os) { *os << c.name; }

class UnsafeValue : public testing::TestWithParam<unsafe_case> {};

// An answer with a header value that decodes to CR, LF or NUL is refused as
// unreadable, and no part of it reaches the record.
TEST_P(UnsafeValue, AnswerIsRefusedAndRecordUnchanged) {
  raw_server hostile(std::string("HTTP/1.1 200 OK\r\n"
                                 "VX-X-Mitigation: limit\r\n"
                                 "VX-X-Reason: new reason\r\n"
                                 "VX-Location: /new\r\n"
                                 "VX-Set-Cookie: new=1\r\n") +
                     GetParam().header_line +
                     "\r\nContent-Length: 8\r\n\r\nnew page");
  vornex::api record("127.0.0.1");
  give_previous_response(record);
  record.set_server_name(hostile.address());
  EXPECT_EQ(call_error(record), "Failed to read connection");
  expect_previous_response(record);
}

INSTANTIATE_TEST_SUITE_P(Values, UnsafeValue, testing::ValuesIn(unsafe_values),
                         [](const testing::TestParamInfo<unsafe_case> &info) {
                           return std::string(info.param.name);
                         });

// How this build of cpp-httplib reads an unusual answer: either the verdict
// the answer gives, or the error text of a refused one.
struct library_case {
  const char *name;
  std::string reply;
  raw_end end;
  int code; // -1: the call throws `error`
  const char *error;
  header_map challenge_headers;
  std::string page;
};

const std::string long_value(9000, 'x');

const library_case library_cases[] = {
    {"HeaderLineOver8192Bytes",
     "HTTP/1.1 200 OK\r\nVX-Long: " + long_value +
         "\r\nContent-Length: 0\r\n\r\n",
     raw_end::close,
     -1,
     "Failed to read connection",
     {},
     ""},
    {"LineWithoutColonIsIgnored",
     "HTTP/1.1 200 OK\r\nVX-X-Mitigation: captcha\r\nVX-NoColon\r\n"
     "VX-A: 1\r\nContent-Length: 2\r\n\r\nok",
     raw_end::close,
     4,
     "",
     {{"A", "1"}},
     "ok"},
    {"EmptyNameIsIgnored",
     "HTTP/1.1 200 OK\r\n: nameless\r\nVX-A: 1\r\nContent-Length: 2\r\n\r\nok",
     raw_end::close,
     0,
     "",
     {{"A", "1"}},
     "ok"},
    {"LineEndingInBareLfIsIgnored",
     "HTTP/1.1 200 OK\r\nVX-Lf: 1\nVX-A: 1\r\nContent-Length: 2\r\n\r\nok",
     raw_end::close,
     0,
     "",
     {{"A", "1"}},
     "ok"},
    {"ValueBlanksAreTrimmed",
     "HTTP/1.1 200 OK\r\nVX-A:  \t 1 \t \r\nVX-B: a+b%20c\r\n"
     "Content-Length: 2\r\n\r\nok",
     raw_end::close,
     0,
     "",
     {{"A", "1"}, {"B", "a+b c"}},
     "ok"},
    {"ContinueBeforeAnswerIsSkipped",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
     "VX-X-Mitigation: limit\r\nContent-Length: 2\r\n\r\nok",
     raw_end::close,
     6,
     "",
     {},
     "ok"},
    {"Http10AnswerReadToClose",
     "HTTP/1.0 200 OK\r\nVX-X-Mitigation: redirect\r\n\r\nuntil close",
     raw_end::close,
     3,
     "",
     {},
     "until close"},
    {"ResetAfterHead",
     "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc",
     raw_end::reset,
     -1,
     "Failed to read connection",
     {},
     ""},
    {"ResetInsideHead",
     "HTTP/1.1 200 OK\r\nVX-A: 1",
     raw_end::reset,
     -1,
     "Failed to read connection",
     {},
     ""},
    {"CloseBeforeBodyEnds",
     "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc",
     raw_end::close,
     -1,
     "Failed to read connection",
     {},
     ""},
    {"CloseWithoutAnswer",
     "",
     raw_end::close,
     -1,
     "Failed to read connection",
     {},
     ""},
    {"NoHttpStatusLine",
     "hello\r\n\r\n",
     raw_end::close,
     -1,
     "Failed to read connection",
     {},
     ""},
};

void PrintTo(const library_case &c, std::ostream *os) { *os << c.name; }

class LibraryReading : public testing::TestWithParam<library_case> {};

// Each unusual answer gives the verdict or the error measured for this build.
TEST_P(LibraryReading, AnswerGivesMeasuredOutcome) {
  const library_case &c = GetParam();
  raw_server server(c.reply, c.end);
  vornex::api record(server.address());
  if (c.code < 0) {
    EXPECT_EQ(call_error(record), c.error);
    EXPECT_TRUE(record.get_challenge_headers().empty());
    return;
  }
  EXPECT_EQ(record.execute(), c.code);
  EXPECT_EQ(record.get_challenge_headers(), c.challenge_headers);
  EXPECT_EQ(record.get_challenge_page(), c.page);
}

INSTANTIATE_TEST_SUITE_P(Answers, LibraryReading,
                         testing::ValuesIn(library_cases),
                         [](const testing::TestParamInfo<library_case> &info) {
                           return std::string(info.param.name);
                         });

// A compressed answer body reaches the challenge page as sent, not inflated.
TEST(CheckCall, GzipBodyIsNotInflated) {
  const std::string gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\xce"
                         "\x48\xcc\xc9\x49\xcd\x4b\x4f\x55\x28\x48\x4c\x4f"
                         "\x05\x00\xb8\xc6\x27\x66\x0e\x00\x00\x00",
                         34);
  raw_server server("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n"
                    "Content-Type: text/html\r\nContent-Length: 34\r\n\r\n" +
                    gzip);
  vornex::api record(server.address());
  EXPECT_EQ(record.execute(), 0);
  EXPECT_EQ(record.get_challenge_page(), gzip);
}

// Body bytes that do not repeat within a mebibyte, NUL and line ends
// included.
std::string varied_body(size_t size) {
  std::string out(size, '\0');
  unsigned state = 2463534242u;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<char>(state);
  }
  return out;
}

class SameWireAsPointerPost : public testing::TestWithParam<size_t> {};

// The call sends, byte for byte, what the library's pointer-and-length Post
// sends for the same headers and body: same framing, same length, unchunked.
TEST_P(SameWireAsPointerPost, RequestBytesAreIdentical) {
  raw_server server(ok_reply);
  const std::string body = varied_body(GetParam());
  vornex::api record(server.address());
  record.set_remote_addr("192.0.2.10");
  record.set_remote_port("443");
  record.set_conn_addr("198.51.100.2");
  record.add_data(body.data(), body.size());
  ASSERT_EQ(record.execute(), 0);
  ASSERT_EQ(server.requests().size(), 1u);
  const auto agents = split_request(server.requests()[0]).values("User-Agent");
  ASSERT_EQ(agents.size(), 1u);

  httplib::ClientImpl client("127.0.0.1", server.port());
  client.set_connection_timeout(3, 0);
  client.set_read_timeout(3, 0);
  client.set_write_timeout(3, 0);
  client.set_decompress(false);
  client.set_compress(false);
  const httplib::Headers headers = {{"User-Agent", agents[0]},
                                    {"VX-RemoteAddr", "192.0.2.10"},
                                    {"VX-RemotePort", "443"},
                                    {"VX-ConnAddr", "198.51.100.2"}};
  auto result = client.Post("/v2.1/check", headers, body.data(), body.size(),
                            "text/plain");
  ASSERT_TRUE(result) << httplib::to_string(result.error());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0] == requests[1])
      << "sizes " << requests[0].size() << " and " << requests[1].size();
  const wire_request sent = split_request(requests[0]);
  EXPECT_TRUE(sent.body == body) << "body of " << sent.body.size() << " bytes";
  EXPECT_EQ(sent.values("Content-Length"),
            std::vector<std::string>{std::to_string(body.size())});
  EXPECT_TRUE(sent.values("Transfer-Encoding").empty());
}

// Empty, one byte, one read of the module and a little more, and a body
// many socket buffers long.
INSTANTIATE_TEST_SUITE_P(BodySizes, SameWireAsPointerPost,
                         testing::Values(size_t{0}, size_t{1}, size_t{8193},
                                         size_t{3 * 1024 * 1024 + 7}));

} // namespace
