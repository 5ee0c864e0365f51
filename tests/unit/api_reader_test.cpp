// The check client's own request writing and answer reading against the
// HTTP library's: the same head on the wire for any record, and the same
// outcome (error, status, headers, body, caps, whether the connection is
// kept) for every answer of a table and for random ones built from the
// pieces that hostile or broken check servers send. The library's reading
// runs through the same client and stream, so only the reading differs.
#include "answer_reader.h"
#include "api.h"
#include "check_stream.h"
#include "protocol.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using vornex::answer_meter;
using vornex::check_client;

// What one exchange came to, as the module looks at it.
struct result {
  bool sent = false;
  httplib::Error error = httplib::Error::Success;
  int status = -1;
  std::string version;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool head_seen = false;
  answer_meter::excess over = answer_meter::excess::none;
  bool kept_open = false;

  std::string describe() const {
    std::ostringstream out;
    out << "sent=" << sent << " error=" << static_cast<int>(error)
        << " status=" << status << " version=" << version
        << " reason=" << testing::PrintToString(reason)
        << " head_seen=" << head_seen << " over=" << static_cast<int>(over)
        << " kept_open=" << kept_open
        << " body=" << testing::PrintToString(body) << " headers:";
    for (const auto &h : headers)
      out << " " << testing::PrintToString(h.first) << "="
          << testing::PrintToString(h.second);
    return out.str();
  }
};

// The same caps as the module: header lines counted when the head is read,
// the body within its cap.
const size_t header_cap = vornex::api::answer_header_cap;
const size_t body_cap = 64 * 1024;

const httplib::Headers record_headers = {
    {"User-Agent", vornex::protocol::user_agent},
    {vornex::protocol::fact::remote_addr, "192.0.2.7"},
    {vornex::protocol::fact::remote_port, "40000"},
    {vornex::protocol::fact::conn_addr, "192.0.2.7"}};
const std::string check_body = "GET / HTTP/1.1\r\nHost: site\r\n";

std::unique_ptr<check_client>
client_for(const vornex_test::raw_server &server) {
  std::unique_ptr<check_client> client(new check_client(
      "127.0.0.1", server.port(), vornex::api::reading_limits));
  client->set_connection_timeout(2, 0);
  client->set_read_timeout(2, 0);
  client->set_write_timeout(2, 0);
  client->set_keep_alive(true);
  return client;
}

void copy_response(const httplib::Response &response, result &out) {
  out.status = response.status;
  out.version = response.version;
  out.reason = response.reason;
  for (const auto &h : response.headers)
    out.headers.emplace_back(h.first, h.second);
}

// The library's reading, as the module used it.
result through_library(const vornex_test::raw_server &server,
                       const httplib::Headers &headers = record_headers) {
  const std::unique_ptr<check_client> holder = client_for(server);
  check_client &client = *holder;
  client.set_decompress(false);
  httplib::Request request;
  request.method = "POST";
  request.path = vornex::protocol::check_path;
  request.headers = headers;
  request.headers.emplace("Content-Type", "text/plain");
  request.content_length_ = check_body.size();
  request.content_provider_ = [](size_t offset, size_t length,
                                 httplib::DataSink &sink) {
    return sink.write(check_body.data() + offset, length);
  };
  result out;
  request.response_handler = [&out](const httplib::Response &r) {
    out.head_seen = true;
    return r.headers.size() <= header_cap;
  };
  request.content_receiver = [&out](const char *bytes, size_t length, uint64_t,
                                    uint64_t) {
    if (length > body_cap - out.body.size())
      return false;
    out.body.append(bytes, length);
    return true;
  };
  httplib::Response response;
  out.sent = client.exchange(request, response, out.error);
  copy_response(response, out);
  out.over = client.over();
  out.kept_open = client.is_socket_open();
  return out;
}

class collecting_sink final : public vornex::answer_sink {
public:
  explicit collecting_sink(result &out) : out(out) {}
  bool head(const httplib::Response &r) override {
    out.head_seen = true;
    return r.headers.size() <= header_cap;
  }
  bool take(const char *bytes, size_t length) override {
    if (length > body_cap - out.body.size())
      return false;
    out.body.append(bytes, length);
    return true;
  }

private:
  result &out;
};

result through_post(const vornex_test::raw_server &server,
                    const httplib::Headers &headers = record_headers) {
  const std::unique_ptr<check_client> holder = client_for(server);
  check_client &client = *holder;
  result out;
  collecting_sink sink(out);
  vornex::check_post post;
  post.headers = &headers;
  post.content_type = "text/plain";
  post.body = check_body.data();
  post.body_size = check_body.size();
  post.sink = &sink;
  httplib::Response response;
  out.sent = client.post(post, response, out.error);
  copy_response(response, out);
  out.over = client.over();
  out.kept_open = client.is_socket_open();
  return out;
}

void expect_same(const std::string &answer) {
  vornex_test::raw_server server(answer);
  const result library = through_library(server);
  const result own = through_post(server);
  EXPECT_EQ(library.describe(), own.describe())
      << "answer: " << testing::PrintToString(answer);
}

std::string repeat(const std::string &text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += text;
  return out;
}

const char ok[] = "HTTP/1.1 200 OK\r\n";

// Answers of every kind the reader must read as the library does.
const std::vector<std::string> answers = {
    // status lines
    std::string(ok) + "Content-Length: 2\r\n\r\nhi",
    "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi",
    "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 403 Forbidden here\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 200 OK\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 200 O\rK\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 20 OK\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.2 200 OK\r\nContent-Length: 0\r\n\r\n",
    "HTTP/2 200 OK\r\nContent-Length: 0\r\n\r\n",
    "http/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1  200 OK\r\nContent-Length: 0\r\n\r\n",
    std::string("HTTP/1.1 200 O\0K\r\nContent-Length: 0\r\n\r\n", 40),
    "HTTP/1.0 200 Connection established\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: "
    "1\r\n\r\nx",
    "HTTP/1.1 100 Continue\r\nX: y\r\nHTTP/1.1 403 No\r\nContent-Length: "
    "0\r\n\r\n",
    "HTTP/1.1 100 Continue\r\n\r\n",
    "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Again\r\n\r\nHTTP/1.1 200 OK\r\n"
    "Content-Length: 0\r\n\r\n",
    "",
    "HTTP/1.1 200 OK",
    "HTTP/1.1 200 OK\r\n",
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n",
    // header lines
    std::string(ok) + "VX-X-Mitigation: block\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "NoColon\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "Empty:\r\nBlank:   \r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + ": no name\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "Spaced  : \t value \t \r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "Lf-Only: x\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "A: %41%4a%4G%u00e9%u20AC%uD800%u12%%zz%\r\n"
                      "Content-Length: 0\r\n\r\n",
    std::string(ok) + "A: %0d%0a%00+plus\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) +
        "Location: %41\r\nlocation: %42\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "A: 1\r\na: 2\r\nA: 3\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "A: x\r\n\nContent-Length: 0\r\n\r\n",
    std::string(ok) + std::string("Nul\0Name: v\0w\r\n", 15) +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Long: " + std::string(8184, 'a') + "\r\n" +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Long: " + std::string(8185, 'a') + "\r\n" +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Long: " + std::string(8186, 'a') + "\r\n" +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Long: " + std::string(8187, 'a') + "\n" +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Long: " + std::string(9000, 'a') + "\n" +
        "Content-Length: 0\r\n\r\n",
    std::string(ok) + repeat("H: v\r\n", 1000) + "Content-Length: 0\r\n\r\n",
    std::string(ok) + repeat("H: v\r\n", 1001) + "Content-Length: 0\r\n\r\n",
    std::string(ok) + repeat("H: v\r\n", 1002) + "\r\n",
    std::string(ok) + repeat("H:\r\n", 1100) + "Content-Length: 0\r\n\r\n",
    std::string(ok) + repeat("H: " + std::string(8000, 'v') + "\r\n", 140) +
        "Content-Length: 0\r\n\r\n",
    "HTTP/1.1 204 No Content\r\n" + repeat("H: v\r\n", 1001) + "\r\n",
    // bodies
    std::string(ok) + "Content-Length: 5\r\n\r\nhi",
    std::string(ok) + "Content-Length: 1\r\n\r\nhello",
    std::string(ok) + "Content-Length: x\r\n\r\nhello",
    std::string(ok) + "Content-Length: -1\r\n\r\nhello",
    std::string(ok) + "Content-Length:  +3\r\n\r\nhello",
    std::string(ok) + "Content-Length: 3\r\nContent-Length: 1\r\n\r\nhello",
    std::string(ok) + "\r\nno length, to the end",
    std::string(ok) + "Content-Length: " + std::to_string(body_cap + 1) +
        "\r\n\r\n" + std::string(body_cap + 1, 'b'),
    std::string(ok) + "\r\n" + std::string(body_cap + 1, 'b'),
    "HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\nabc",
    "HTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\nabc",
    // chunked
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) + "Transfer-Encoding: CHUNKED\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) +
        "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) + "Transfer-Encoding: chunked\r\nContent-Length: 1\r\n\r\n"
                      "3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n"
                      "0\r\n\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\n0x3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\n -3\r\nabc\r\n0\r\n\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n",
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nT: x\r\n"
        "\r\n",
    std::string(ok) +
        "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\nmore",
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n3\r\nab",
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n" +
        std::string(9000, '0') + "1\r\na\r\n0\r\n\r\n",
    std::string(ok) + "Transfer-Encoding: chunked\r\n\r\n10000\r\n" +
        std::string(0x10000, 'c') + "\r\n0\r\n\r\n",
    // closing the connection, or not
    std::string(ok) + "Connection: close\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "Connection: Close\r\nContent-Length: 0\r\n\r\n",
    std::string(ok) + "connection: close\r\nConnection: keep-alive\r\n"
                      "Content-Length: 0\r\n\r\n",
    std::string(ok) + "Connection: keep-alive\r\nConnection: close\r\n"
                      "Content-Length: 0\r\n\r\n",
    "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
};

// Every answer of the table comes out of the reader as out of the library.
TEST(AnswerReader, ReadsEveryTableAnswerAsTheLibrary) {
  for (const std::string &answer : answers)
    expect_same(answer);
}

// Pieces of answers, joined at random and cut at random: the reader and
// the library agree on each.
TEST(AnswerReader, ReadsRandomAnswersAsTheLibrary) {
  const std::vector<std::string> status = {
      "HTTP/1.1 200 OK\r\n",           "HTTP/1.0 403 F\r\n", "HTTP/1.1 429\r\n",
      "HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\n",  "HTTP/1.1 2x0\r\n",
      "HTTP/1.1 302 Found\r\n"};
  const std::vector<std::string> header = {"VX-X-Mitigation: block\r\n",
                                           "VX-X-Mitigation: challenge\r\n",
                                           "VX-Set-Cookie: a=%41\r\n",
                                           "Content-Length: 3\r\n",
                                           "Content-Length: 0\r\n",
                                           "Content-Length: 40\r\n",
                                           "Transfer-Encoding: chunked\r\n",
                                           "Connection: close\r\n",
                                           "X: %u00\r\n",
                                           "Y:\t\r\n",
                                           "bad line\r\n",
                                           "Z: z\n",
                                           ":\r\n",
                                           "VX-Location: /x%20y\r\n",
                                           "Content-length:7\r\n"};
  const std::vector<std::string> body = {"abc",
                                         "3\r\nabc\r\n0\r\n\r\n",
                                         "0\r\n\r\n",
                                         "ff\r\n",
                                         "\r\n",
                                         "x\r\n",
                                         std::string(100, 'q'),
                                         "1\r\na\r\n2\r\nbc\r\n0\r\n\r\n"};
  std::mt19937 random(20261210);
  auto pick = [&random](const std::vector<std::string> &from) {
    return from[std::uniform_int_distribution<size_t>(0,
                                                      from.size() - 1)(random)];
  };
  for (int i = 0; i < 200; ++i) {
    std::string answer = pick(status);
    const int count = std::uniform_int_distribution<int>(0, 5)(random);
    for (int h = 0; h < count; ++h)
      answer += pick(header);
    answer += "\r\n";
    const int pieces = std::uniform_int_distribution<int>(0, 3)(random);
    for (int b = 0; b < pieces; ++b)
      answer += pick(body);
    if (std::uniform_int_distribution<int>(0, 4)(random) == 0)
      answer.resize(
          std::uniform_int_distribution<size_t>(0, answer.size())(random));
    expect_same(answer);
  }
}

// The head on the wire is the library's for any record: its headers in the
// map's order, with those the library adds placed among them, or left out
// where the record has its own.
TEST(RequestHead, WritesTheLibrarysHeadForAnyRecord) {
  const std::vector<httplib::Headers> records = {
      record_headers,
      {},
      {{"host", "mine"}, {"accept", "text/*"}, {"connection", "keep-alive"}},
      {{"Content-Length", "9"}, {"content-type", "x/y"}},
      {{"Acc", "1"},
       {"Accept-Language", "2"},
       {"Connection2", "3"},
       {"Hos", "4"},
       {"Z", "5"},
       {"a", "6"},
       {"Content-Lengthy", "7"},
       {"User-Agent-X", "8"}},
      {{"X", std::string("cut\0here", 8)}, {"Y", ""}},
  };
  for (const auto &record : records) {
    vornex_test::raw_server server(
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    through_library(server, record);
    through_post(server, record);
    const std::vector<std::string> seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], seen[1]);
  }
}

// The reader bounds a line while it arrives: a line that never ends fails
// the read once it passes the bound, without waiting for its end.
TEST(AnswerReader, EndlessLineFailsAtItsBound) {
  class endless final : public vornex::answer_source {
  public:
    ssize_t read(char *buffer, size_t size) override {
      given += size;
      std::fill(buffer, buffer + size, 'a');
      return static_cast<ssize_t>(size);
    }
    size_t given = 0;
  } source;
  class nothing final : public vornex::answer_sink {
    bool head(const httplib::Response &) override { return true; }
    bool take(const char *, size_t) override { return true; }
  } sink;
  vornex::answer_reader reader({10, 1024, 64});
  httplib::Response response;
  EXPECT_EQ(reader.read(source, response, sink),
            vornex::answer_reader::outcome::read);
  EXPECT_EQ(reader.over(), answer_meter::excess::line_bytes);
  EXPECT_LE(source.given, 64 * 1024u);
}

} // namespace
