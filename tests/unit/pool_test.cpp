// Kept connections: what the pool holds and hands out, and checks sent on
// connections the server keeps, closes or asks to close.
#include "api.h"
#include "pool.h"
#include "process_tag.h"
#include "protocol.h"
#include "test_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using vornex::api;
using vornex::connection_pool;
using vornex_test::canned_check_server;
using vornex_test::canned_reply;
using vornex_test::raw_end;
using vornex_test::raw_server;

const char kept_reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const char closing_reply[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

connection_pool::connection client_for(const std::string &host, int port) {
  return connection_pool::connection(
      new vornex::check_client(host, port, {1, 1, 1}));
}

// Polls `done` for up to 30 s; the machine may be busy.
template <typename F> bool eventually(F done) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    if (done())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A connection given back is handed out again for its own server only.
TEST(ConnectionPoolTest, GivesBackTheConnectionOfTheSameServer) {
  connection_pool pool(4);
  EXPECT_EQ(pool.take("127.0.0.1", 80), nullptr);
  auto client = client_for("127.0.0.1", 80);
  httplib::ClientImpl *const given = client.get();
  pool.give("127.0.0.1", 80, std::move(client));
  EXPECT_EQ(pool.take("127.0.0.1", 81), nullptr);
  EXPECT_EQ(pool.take("127.0.0.2", 80), nullptr);
  EXPECT_EQ(pool.take("127.0.0.1", 80).get(), given);
  EXPECT_EQ(pool.take("127.0.0.1", 80), nullptr);
}

// Each server keeps at most max_idle idle connections; the newest is taken
// first.
TEST(ConnectionPoolTest, KeepsAtMostMaxIdlePerServer) {
  connection_pool pool(2);
  httplib::ClientImpl *second = nullptr;
  for (int i = 0; i < 3; ++i) {
    auto client = client_for("127.0.0.1", 80);
    if (i == 1)
      second = client.get();
    pool.give("127.0.0.1", 80, std::move(client));
  }
  pool.give("127.0.0.1", 81, client_for("127.0.0.1", 81));
  EXPECT_EQ(pool.idle("127.0.0.1", 80), 2u);
  EXPECT_EQ(pool.idle("127.0.0.1", 81), 1u);
  EXPECT_EQ(pool.take("127.0.0.1", 80).get(), second);
}

// Idle connections are dropped after the idle limit without another call.
TEST(ConnectionPoolTest, DropsConnectionsIdleForTooLong) {
  connection_pool pool(4, std::chrono::milliseconds(50));
  pool.give("127.0.0.1", 80, client_for("127.0.0.1", 80));
  pool.give("127.0.0.1", 81, client_for("127.0.0.1", 81));
  EXPECT_TRUE(eventually([&] {
    return pool.idle("127.0.0.1", 80) + pool.idle("127.0.0.1", 81) == 0;
  }));
}

// A closed pool keeps nothing more.
TEST(ConnectionPoolTest, ClosedPoolKeepsNothing) {
  connection_pool pool(4);
  pool.give("127.0.0.1", 80, client_for("127.0.0.1", 80));
  pool.close();
  EXPECT_EQ(pool.idle("127.0.0.1", 80), 0u);
  pool.give("127.0.0.1", 80, client_for("127.0.0.1", 80));
  EXPECT_EQ(pool.take("127.0.0.1", 80), nullptr);
}

// A process forked from the pool's owner gets none of its connections.
TEST(ConnectionPoolTest, ForkedProcessTakesNothing) {
  connection_pool pool(4);
  pool.give("127.0.0.1", 80, client_for("127.0.0.1", 80));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool none = pool.take("127.0.0.1", 80) == nullptr;
    pool.close();
    _exit(none ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(pool.idle("127.0.0.1", 80), 1u);
}

// A tag holds in the process that made it only: neither a child nor a
// grandchild counts as that process, while a tag made in the child holds
// there.
TEST(ProcessTagTest, HoldsOnlyInTheProcessThatMadeIt) {
  const vornex::process_tag parent;
  EXPECT_TRUE(parent.current());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const vornex::process_tag own;
    int failures = (parent.current() ? 1 : 0) + (own.current() ? 0 : 2);
    const pid_t grandchild = fork();
    if (grandchild == 0)
      _exit(own.current() || parent.current() ? 1 : 0);
    int status = 1;
    if (grandchild < 0 || waitpid(grandchild, &status, 0) != grandchild ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      failures += 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(parent.current());
}

// Sequential checks through a pool go on one connection, without asking the
// server to close it.
TEST(KeptCheckTest, SequentialChecksShareAConnection) {
  canned_check_server server;
  server.answer(canned_reply{403, {}, ""});
  connection_pool pool(4);
  std::vector<int> ports;
  server.on_check([&ports](const httplib::Request &req) {
    ports.push_back(req.remote_port);
    EXPECT_EQ(req.get_header_value("Connection"), "");
  });
  for (int i = 0; i < 4; ++i) {
    api record(server.address());
    record.set_pool(&pool);
    EXPECT_EQ(record.execute(), vornex::protocol::block);
  }
  ASSERT_EQ(ports.size(), 4u);
  // The library's server ends a connection after five requests.
  EXPECT_EQ(ports[1], ports[0]);
  EXPECT_EQ(ports[3], ports[0]);
}

// An answer asking to close leaves nothing in the pool.
TEST(KeptCheckTest, AnswerAskingToCloseIsNotKept) {
  raw_server server(closing_reply, raw_end::close);
  connection_pool pool(4);
  const auto address =
      api(server.address()).parse_server_name(server.address());
  api record(server.address());
  record.set_pool(&pool);
  EXPECT_EQ(record.execute(), vornex::protocol::pass);
  EXPECT_EQ(pool.idle(address.first, address.second), 0u);
}

// A kept connection that the server closed after its answer is not used for
// the next check, which still gets its verdict.
TEST(KeptCheckTest, ConnectionClosedByTheServerIsReplaced) {
  raw_server server(kept_reply, raw_end::close);
  connection_pool pool(4);
  const auto address =
      api(server.address()).parse_server_name(server.address());
  for (int i = 0; i < 3; ++i) {
    api record(server.address());
    record.set_pool(&pool);
    EXPECT_EQ(record.execute(), vornex::protocol::pass);
    EXPECT_LE(pool.idle(address.first, address.second), 1u);
  }
  EXPECT_EQ(server.requests().size(), 3u);
}

// A failed exchange leaves its connection out of the pool.
TEST(KeptCheckTest, FailedExchangeIsNotKept) {
  raw_server server("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
                    raw_end::close);
  connection_pool pool(4);
  const auto address =
      api(server.address()).parse_server_name(server.address());
  api record(server.address());
  record.set_pool(&pool);
  EXPECT_THROW(record.execute(), std::runtime_error);
  EXPECT_EQ(pool.idle(address.first, address.second), 0u);
}

} // namespace
