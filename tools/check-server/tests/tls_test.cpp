// The stand-in over TLS: verdicts through the module's own client, the
// handshakes it counts, and a client certificate it requires.
#include "running_server.h"
#include "test_tls.h"

#include <api.h>
#include <gtest/gtest.h>
#include <pool.h>
#include <tls_context.h>

#include <atomic>
#include <ostream>
#include <string>

namespace vornex {
namespace check_server {
namespace {

using vornex_test::pem_pair;
using vornex_test::test_certificates;

const std::string source_dir = CHECK_SERVER_SOURCE_DIR;

test_certificates &certs() { return test_certificates::shared(); }

// The example rules over TLS with the run's certificate for 127.0.0.1,
// counting handshakes; with `client_ca`, clients must present a
// certificate from it.
struct tls_standin {
  explicit tls_standin(const std::string &client_ca = "")
      : running(load_rules(source_dir + "/example.rules"), 8, nullptr,
                certs().good.certificate.c_str(), certs().good.key.c_str(),
                client_ca.empty() ? nullptr : client_ca.c_str()) {
    count_handshakes(running.server, handshakes);
  }
  std::string address() const {
    return "https://127.0.0.1:" + std::to_string(running.port);
  }

  std::atomic<unsigned long> handshakes{0};
  running_tls_server running;
};

// Settings that trust the run's authority and present `client`, if any.
tls_settings trusting(const pem_pair *client = nullptr) {
  tls_settings settings;
  settings.ca_file = certs().authority.ca_file();
  if (client) {
    settings.certificate_file = client->certificate;
    settings.key_file = client->key;
  }
  return settings;
}

int check(api &record, const std::string &target) {
  record.set_remote_addr("10.0.0.9");
  record.add_data("GET " + target + " HTTP/1.1\r\nHost: www\r\n");
  return record.execute();
}

// The example's verdicts reach the module's client over TLS, on one
// handshake for checks on a kept connection.
TEST(TlsStandIn, AnswersOverTlsWithOneHandshakePerConnection) {
  tls_standin standin;
  const tls_context context(trusting());
  connection_pool pool(2);
  const std::pair<const char *, int> cases[] = {
      {"/block/x", 1}, {"/challenge/x", 2}, {"/pass/x", 0}, {"/limit/x", 6}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    api record(standin.address());
    record.set_tls(&context);
    record.set_pool(&pool);
    EXPECT_EQ(check(record, c.first), c.second);
  }
  EXPECT_EQ(standin.handshakes, 1u);
  EXPECT_EQ(standin.running.log().size(), 4u);
}

struct client_case {
  const char *name;
  pem_pair test_certificates::*client; // null: none
  bool verdict;
  friend std::ostream &operator<<(std::ostream &os, const client_case &c) {
    return os << c.name;
  }
};

class TlsStandInClient : public ::testing::TestWithParam<client_case> {};

// With --client-ca the stand-in answers only a client that presents a
// certificate from those authorities.
TEST_P(TlsStandInClient, AnswersOnlyCertifiedClients) {
  tls_standin standin(certs().authority.ca_file());
  const client_case &c = GetParam();
  const tls_context context(
      trusting(c.client ? &(certs().*c.client) : nullptr));
  api record(standin.address());
  record.set_tls(&context);
  if (c.verdict) {
    EXPECT_EQ(check(record, "/block/x"), 1);
    return;
  }
  EXPECT_THROW(check(record, "/block/x"), std::runtime_error);
  EXPECT_EQ(record.last_failure(), api::failure::connection);
  EXPECT_TRUE(standin.running.log().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsStandInClient,
    ::testing::Values(client_case{"given", &test_certificates::client, true},
                      client_case{"not_given", nullptr, false},
                      client_case{"other_authority",
                                  &test_certificates::foreign_client, false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace check_server
} // namespace vornex
