// End to end: the server on a loopback port, asked by httplib and by the
// module's own check client.
#include "running_server.h"

#include <api.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

namespace vornex {
namespace check_server {
namespace {

const std::string source_dir = CHECK_SERVER_SOURCE_DIR;

class ExampleServer : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    server = new running_server(load_rules(source_dir + "/example.rules"));
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  // Checks a GET of `target` through the module's client.
  static int module_check(api &record, const std::string &target) {
    record.set_remote_addr("10.0.0.9");
    record.add_data("GET " + target + " HTTP/1.1\r\nHost: www\r\n");
    return record.execute();
  }

  static running_server *server;
};
running_server *ExampleServer::server = nullptr;

struct code_case {
  const char *target;
  int code;
  friend std::ostream &operator<<(std::ostream &os, const code_case &c) {
    return os << c.target;
  }
};

class ExampleVerdicts : public ExampleServer,
                        public ::testing::WithParamInterface<code_case> {};

// Each path of the example decodes, in the module's client, to its verdict.
TEST_P(ExampleVerdicts, DecodeToTheirCode) {
  api record(server->address());
  EXPECT_EQ(module_check(record, GetParam().target), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExampleVerdicts,
    ::testing::Values(code_case{"/pass", 0}, code_case{"/block", 1},
                      code_case{"/challenge", 2}, code_case{"/redirect", 3},
                      code_case{"/captcha", 4}, code_case{"/fake", 5},
                      code_case{"/limit", 6}, code_case{"/inject", 7},
                      code_case{"/elsewhere", 0}),
    [](const auto &info) { return std::string(info.param.target + 1); });

// A challenge reaches the module with its page, headers and reason as the
// rules give them.
TEST_F(ExampleServer, ChallengeArrivesWhole) {
  api record(server->address());
  ASSERT_EQ(module_check(record, "/challenge/x"), 2);
  std::ifstream in(source_dir + "/pages/challenge.html", std::ios::binary);
  std::ostringstream page;
  page << in.rdbuf();
  EXPECT_EQ(record.get_challenge_page(), page.str());
  const api::challenge_header_map expected = {{"Cache-Control", "no-store"},
                                              {"X-Challenge-Id", "7d1f0c2a"}};
  EXPECT_EQ(record.get_challenge_headers(), expected);
  EXPECT_EQ(record.get_reason(), "challenge by path");
}

// A '%' in a value survives the module's percent-decoding.
TEST_F(ExampleServer, PercentSignSurvivesDecoding) {
  api record(server->address());
  ASSERT_EQ(module_check(record, "/inject"), 7);
  const auto note = record.get_challenge_headers().find("X-Vornex-Note");
  ASSERT_NE(note, record.get_challenge_headers().end());
  EXPECT_EQ(note->second, "screened, 100% human");
}

// A redirect reaches the module with its target.
TEST_F(ExampleServer, RedirectCarriesTarget) {
  api record(server->address());
  ASSERT_EQ(module_check(record, "/redirect"), 3);
  EXPECT_EQ(record.get_mitigation_url(), "/pass/?from=redirect");
}

// A bare 500 is no verdict: the module's client fails with the page.
TEST_F(ExampleServer, BareStatusFailsTheCall) {
  api record(server->address());
  try {
    module_check(record, "/fail");
    FAIL() << "no failure";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "check service unavailable\n");
  }
}

// A body that is no check body gets 400 with the reason.
TEST_F(ExampleServer, MalformedCheckGets400) {
  httplib::Client client("127.0.0.1", server->port);
  auto result =
      client.Post("/v2.1/check", "GET /\r\nno colon\r\n", "text/plain");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_EQ(result->body, "header line without a colon");
}

// A plain GET of the check path is answered 200, as nginx's auth_request
// needs.
TEST_F(ExampleServer, PlainGetPasses) {
  httplib::Client client("127.0.0.1", server->port);
  auto result = client.Get("/v2.1/check");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
}

// The answer on the wire carries the keyword under the exact prefix.
TEST_F(ExampleServer, WireAnswerUsesPrefix) {
  httplib::Client client("127.0.0.1", server->port);
  auto result =
      client.Post("/v2.1/check", "GET /captcha HTTP/1.1\r\n", "text/plain");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("VX-X-Mitigation"), "captcha");
  EXPECT_EQ(result->get_header_value("Content-Type"),
            "text/html; charset=utf-8");
}

// Every check gives one log line with client, request line, rule, verdict
// and time.
TEST_F(ExampleServer, LogsOneLinePerCheck) {
  api record(server->address());
  const size_t before = server->log().size();
  ASSERT_EQ(module_check(record, "/block/logged"), 1);
  const auto lines = server->log();
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_TRUE(std::regex_match(
      lines.back(),
      std::regex(
          R"(10\.0\.0\.9 "GET /block/logged HTTP/1.1" block block \d+us)")))
      << lines.back();
}

// A second server cannot bind the port of a running one.
TEST_F(ExampleServer, TakenPortIsRefused) {
  check_http_server second(1);
  EXPECT_FALSE(second.bind_to_port("127.0.0.1", server->port));
}

// Under concurrent checks of one client the rate rule lets exactly its
// count through.
TEST(ServerRate, CountsExactlyUnderConcurrency) {
  running_server server(parse_rules(
      "rule r\nrate 5 3600\ndefault\nverdict pass\n", "t.rules", ""));
  std::atomic<int> limited(0), failed(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", server.port);
      // Eight clients share two busy cores with the server's eight threads:
      // waits far past the library's 5 s default keep a slow turn from
      // counting as a failed check.
      client.set_connection_timeout(30, 0);
      client.set_read_timeout(30, 0);
      client.set_write_timeout(30, 0);
      for (int i = 0; i < 20; ++i) {
        auto result =
            client.Post("/v2.1/check", {{"VX-RemoteAddr", "10.1.1.1"}},
                        "GET /r HTTP/1.1\r\n", "text/plain");
        if (!result)
          ++failed;
        else if (result->get_header_value("VX-X-Mitigation") == "limit")
          ++limited;
      }
    });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(limited, 8 * 20 - 5);
}

// Clients that keep their connections open, more of them than the threads
// the server starts with, are all answered at once: a kept connection does
// not hold the others back until it times out (5 s).
TEST(ServerKeepAlive, MoreKeptConnectionsThanThreadsAreAnswered) {
  running_server server(pass_all_rules(), 2);
  std::vector<std::unique_ptr<httplib::Client>> clients;
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back(new httplib::Client("127.0.0.1", server.port));
    clients.back()->set_keep_alive(true);
    clients.back()->set_read_timeout(std::chrono::seconds(4));
  }
  for (int round = 0; round < 2; ++round)
    for (auto &client : clients) {
      auto result = client->Post(
          "/v2.1/check", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "text/plain");
      ASSERT_TRUE(result) << "round " << round;
      EXPECT_EQ(result->status, 200);
      EXPECT_EQ(result->get_header_value("Connection"), "");
    }
}

} // namespace
} // namespace check_server
} // namespace vornex
