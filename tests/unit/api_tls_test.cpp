// Checks to https:// addresses: verdicts over TLS, what is verified and what
// a failed verification says, client certificates, kept TLS connections, a
// handshake that never ends, and the TLS settings that cannot be loaded.
// Every server is on loopback, with certificates made for the run.
#include "api.h"
#include "call_watch.h"
#include "check_stream.h"
#include "pool.h"
#include "protocol.h"
#include "test_servers.h"
#include "test_tls.h"
#include "tls_context.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using vornex_test::canned_reply;
using vornex_test::pem_pair;
using vornex_test::test_certificates;
using vornex_test::tls_check_server;

// Far past any attempt's limit here, far below how long the stalling
// servers hold a connection (30 s): only a call that waited for the server
// to give up breaks it.
const auto generous_bound = 10s;

test_certificates &certs() { return test_certificates::shared(); }

vornex::tls_settings trusting_private_ca(bool verify = true) {
  vornex::tls_settings settings;
  settings.ca_file = certs().authority.ca_file();
  settings.verify = verify;
  return settings;
}

// Runs `record`'s check and returns its message, or "" for a verdict.
std::string failure_of(vornex::api &record) {
  try {
    record.execute();
    return "";
  } catch (const std::runtime_error &e) {
    return e.what();
  }
}

// Names a parameterised case by its `name`.
const auto named = [](const auto &info) {
  return std::string(info.param.name);
};

// ---- verdicts ---------------------------------------------------------------

struct verdict_case {
  canned_reply reply;
  int code;
};

// The answer of a check server over TLS is decoded as over plain HTTP.
TEST(TlsCall, VerdictsComeOverTls) {
  const verdict_case cases[] = {
      {{200, {}, ""}, vornex::protocol::pass},
      {{403, {}, ""}, vornex::protocol::block},
      {{200, {{"VX-X-Mitigation", "challenge"}}, "<p>page</p>"},
       vornex::protocol::challenge},
  };
  tls_check_server server(certs().good);
  const vornex::tls_context context(trusting_private_ca());
  for (const verdict_case &c : cases) {
    SCOPED_TRACE(c.code);
    server.answer(c.reply);
    vornex::api record(server.address());
    record.set_tls(&context);
    record.add_data("GET / HTTP/1.1\r\n");
    EXPECT_EQ(record.execute(), c.code);
    EXPECT_EQ(record.get_challenge_page(), c.reply.body);
  }
  EXPECT_EQ(server.checks(), 3);
}

// An answer over TLS is held to the same cap as any other.
TEST(TlsCall, AnswerOverTheCapIsRefused) {
  tls_check_server server(certs().good);
  server.answer({200, {}, std::string(vornex::api::answer_body_cap + 1, 'x')});
  const vornex::tls_context context(trusting_private_ca());
  vornex::api record(server.address());
  record.set_tls(&context);
  EXPECT_EQ(failure_of(record), "Answer body too large");
  EXPECT_EQ(record.last_failure(), vornex::api::failure::answer);
}

// A host name goes to the server as the name it is asked for; an address
// is never sent as one.
TEST(TlsCall, ServerNameIsSentForHostNamesOnly) {
  tls_check_server server(certs().good);
  const vornex::tls_context context(trusting_private_ca());
  const std::pair<const char *, const char *> hosts[] = {
      {"localhost", "localhost"}, {"127.0.0.1", ""}};
  for (const auto &host : hosts) {
    SCOPED_TRACE(host.first);
    vornex::api record(server.address(host.first));
    record.set_tls(&context);
    EXPECT_EQ(record.execute(), 0);
    EXPECT_EQ(server.server_name(), host.second);
  }
}

// An answer that the end of the connection delimits is complete whether
// or not the server says close_notify first, as over plain TCP.
TEST(TlsCall, AnswerEndedByTheConnectionIsComplete) {
  const vornex::tls_context context(trusting_private_ca());
  for (const bool close_notify : {true, false}) {
    SCOPED_TRACE(close_notify);
    vornex_test::raw_tls_server server(
        certs().good,
        "HTTP/1.0 200 OK\r\nVX-X-Mitigation: inject\r\n\r\n<p>page</p>",
        close_notify);
    vornex::api record(server.address());
    record.set_tls(&context);
    EXPECT_EQ(record.execute(), vornex::protocol::inject);
    EXPECT_EQ(record.get_challenge_page(), "<p>page</p>");
  }
}

// A server that does not speak TLS at an https:// address fails the
// handshake, as a connection that could not be made.
TEST(TlsCall, PlainServerAtHttpsAddressFailsTheHandshake) {
  vornex_test::canned_check_server plain;
  const vornex::tls_context context(trusting_private_ca());
  vornex::api record("https://" + plain.address());
  record.set_tls(&context);
  const std::string failure = failure_of(record);
  EXPECT_EQ(failure.compare(0, 22, "TLS handshake failed: "), 0) << failure;
  EXPECT_EQ(record.last_failure(), vornex::api::failure::connection);
  EXPECT_EQ(plain.checks(), 0);
}

// ---- verification -----------------------------------------------------------

struct verify_case {
  const char *name;
  pem_pair test_certificates::*identity;
  const char *host;
  bool private_ca; // trusted instead of the system's trust store
  bool verify;
  const char *reason; // null: a verdict
};

void PrintTo(const verify_case &c, std::ostream *os) { *os << c.name; }

const verify_case verify_cases[] = {
    {"AddressNamed", &test_certificates::good, "127.0.0.1", true, true,
     nullptr},
    {"HostNamed", &test_certificates::good, "localhost", true, true, nullptr},
    {"OtherHostName", &test_certificates::other_name, "localhost", true, true,
     "certificate verify failed (hostname mismatch)"},
    {"OtherAddress", &test_certificates::other_name, "127.0.0.1", true, true,
     "certificate verify failed (IP address mismatch)"},
    {"Expired", &test_certificates::expired, "127.0.0.1", true, true,
     "certificate verify failed (certificate has expired)"},
    {"OtherAuthority", &test_certificates::foreign, "127.0.0.1", true, true,
     "certificate verify failed (unable to get local issuer certificate)"},
    {"PrivateAuthorityNotInSystemStore", &test_certificates::good, "127.0.0.1",
     false, true,
     "certificate verify failed (unable to get local issuer certificate)"},
    {"UnverifiedOtherName", &test_certificates::other_name, "localhost", true,
     false, nullptr},
    {"UnverifiedExpired", &test_certificates::expired, "127.0.0.1", true, false,
     nullptr},
    {"UnverifiedOtherAuthority", &test_certificates::foreign, "127.0.0.1",
     false, false, nullptr},
};

class TlsVerification : public testing::TestWithParam<verify_case> {};

// A certificate that does not verify fails the attempt as a connection
// that could not be made, naming the reason, and the record stays usable;
// without verification it is taken.
TEST_P(TlsVerification, FailsWithTheReasonOrGivesTheVerdict) {
  const verify_case &c = GetParam();
  tls_check_server server(certs().*c.identity);
  vornex::tls_settings settings = trusting_private_ca(c.verify);
  if (!c.private_ca)
    settings.ca_file.clear();
  const vornex::tls_context context(settings);
  vornex::api record(server.address(c.host));
  record.set_tls(&context);
  if (!c.reason) {
    EXPECT_EQ(failure_of(record), "");
    EXPECT_EQ(server.checks(), 1);
    return;
  }
  EXPECT_EQ(failure_of(record),
            std::string("TLS handshake failed: ") + c.reason);
  EXPECT_EQ(record.last_failure(), vornex::api::failure::connection);
  EXPECT_EQ(server.checks(), 0);
  tls_check_server good(certs().good);
  const vornex::tls_context trusting(trusting_private_ca());
  record.set_tls(&trusting);
  record.set_server_name(good.address());
  EXPECT_EQ(record.execute(), 0);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsVerification,
                         testing::ValuesIn(verify_cases), named);

// ---- client certificates ----------------------------------------------------

struct client_case {
  const char *name;
  pem_pair test_certificates::*client; // null: none presented
  bool verdict;
};

void PrintTo(const client_case &c, std::ostream *os) { *os << c.name; }

const client_case client_cases[] = {
    {"Given", &test_certificates::client, true},
    {"NotGiven", nullptr, false},
    {"FromOtherAuthority", &test_certificates::foreign_client, false},
};

class TlsClientCertificate : public testing::TestWithParam<client_case> {};

// A server that requires a client certificate from its authority gives a
// verdict to the module that presents one, and refuses the others, which
// fail as a connection the server would not take.
TEST_P(TlsClientCertificate, OnlyTheRightOneGetsAVerdict) {
  const client_case &c = GetParam();
  tls_check_server server(certs().good, certs().authority.ca_file());
  vornex::tls_settings settings = trusting_private_ca();
  if (c.client) {
    settings.certificate_file = (certs().*c.client).certificate;
    settings.key_file = (certs().*c.client).key;
  }
  const vornex::tls_context context(settings);
  vornex::api record(server.address());
  record.set_tls(&context);
  const std::string failure = failure_of(record);
  if (c.verdict) {
    EXPECT_EQ(failure, "");
    EXPECT_EQ(server.checks(), 1);
    return;
  }
  // With TLS 1.3 the server refuses once the client has finished its part
  // of the handshake: its alert comes where the answer would, or the reset
  // that the check draws from the closed connection overtakes it.
  EXPECT_EQ(failure.compare(0, 4, "TLS "), 0) << failure;
  EXPECT_TRUE(failure.find("certificate") != std::string::npos ||
              failure.find("unknown ca") != std::string::npos)
      << failure;
  EXPECT_EQ(record.last_failure(), vornex::api::failure::connection);
  EXPECT_EQ(server.checks(), 0);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsClientCertificate,
                         testing::ValuesIn(client_cases), named);

// ---- kept connections -------------------------------------------------------

// One check of a new record to `server` under `context` on the connections
// kept in `pool`: "" for a verdict, or the failure.
std::string kept_check(const tls_check_server &server,
                       const vornex::tls_context &context,
                       vornex::connection_pool &pool) {
  vornex::api record(server.address());
  record.set_tls(&context);
  record.set_pool(&pool);
  return failure_of(record);
}

struct kept_case {
  const char *name;
  bool server_keeps; // the server keeps a connection open after an answer
  int checks;
  int handshakes;
};

void PrintTo(const kept_case &c, std::ostream *os) { *os << c.name; }

const kept_case kept_cases[] = {
    {"KeptByTheServer", true, 5, 1},
    {"ClosedByTheServer", false, 3, 3},
};

class TlsKeepAlive : public testing::TestWithParam<kept_case> {};

// Sequential checks on kept connections pay for one handshake while the
// server keeps the connection; one it has closed after an answer is
// replaced by a new one within the next check.
TEST_P(TlsKeepAlive, HandshakeIsPaidOncePerConnection) {
  const kept_case &c = GetParam();
  tls_check_server server(certs().good);
  if (!c.server_keeps)
    server.keep_idle(0);
  const vornex::tls_context context(trusting_private_ca());
  vornex::connection_pool pool(4);
  for (int i = 0; i < c.checks; ++i)
    EXPECT_EQ(kept_check(server, context, pool), "");
  EXPECT_EQ(server.checks(), c.checks);
  EXPECT_EQ(server.handshakes(), c.handshakes);
  EXPECT_EQ(pool.idle("127.0.0.1", server.port(), context.id()), 1u);
  EXPECT_EQ(pool.idle("127.0.0.1", server.port()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Connections, TlsKeepAlive,
                         testing::ValuesIn(kept_cases), named);

// A connection made under one TLS setting is never used for a check under
// another, to the same server.
TEST(TlsKeptConnections, UnderOtherSettingsAreKeptApart) {
  tls_check_server server(certs().good);
  const vornex::tls_context verified(trusting_private_ca(true));
  const vornex::tls_context unverified(trusting_private_ca(false));
  vornex::connection_pool pool(4);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(kept_check(server, i % 2 ? verified : unverified, pool), "");
  EXPECT_EQ(server.handshakes(), 2);
  EXPECT_EQ(pool.idle("127.0.0.1", server.port(), verified.id()), 1u);
  EXPECT_EQ(pool.idle("127.0.0.1", server.port(), unverified.id()), 1u);
}

// ---- a handshake that never ends --------------------------------------------

struct stall_case {
  const char *name;
  bool watched; // by a process's call watch, or a thread of the call's own
};

void PrintTo(const stall_case &c, std::ostream *os) { *os << c.name; }

const stall_case stall_cases[] = {{"Watched", true}, {"OwnThread", false}};

class TlsStall : public testing::TestWithParam<stall_case> {};

// A server that accepts the connection and never answers the handshake
// holds the attempt no longer than its time limit, like a silent one.
TEST_P(TlsStall, HandshakeEndsAtTheTimeLimit) {
  vornex_test::mute_server mute;
  const vornex::tls_context context(trusting_private_ca());
  vornex::call_watch watch;
  vornex::api record(mute.address());
  record.set_tls(&context);
  record.set_time_limit(300ms);
  if (GetParam().watched)
    record.set_watch(&watch);
  const auto start = clock_type::now();
  EXPECT_EQ(failure_of(record), "Connection timed out");
  EXPECT_LT(clock_type::now() - start, generous_bound);
  EXPECT_EQ(record.last_failure(), vornex::api::failure::timeout);
  EXPECT_EQ(mute.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(Deadline, TlsStall, testing::ValuesIn(stall_cases),
                         named);

// The process's watch ends a handshake whose own waits would outlast the
// deadline by shutting its socket down, without waiting for it: the watch
// is free at once for the deadline of another call.
TEST(TlsDeadline, WatchEndsAStalledHandshakeAndStaysFree) {
  vornex_test::mute_server mute;
  vornex_test::raw_server silent("", vornex_test::raw_end::hold);
  const vornex::tls_context context(trusting_private_ca());
  vornex::call_watch watch;
  // Neither client knows its deadline: only the watch can end them.
  vornex::check_client stalled("127.0.0.1", mute.port(),
                               vornex::api::reading_limits, &context);
  vornex::check_client waiting("127.0.0.1", silent.port(),
                               vornex::api::reading_limits);
  for (vornex::check_client *client : {&stalled, &waiting}) {
    client->set_connection_timeout(25s);
    client->set_read_timeout(25s);
    client->set_write_timeout(25s);
  }
  const auto start = clock_type::now();
  auto exchange = [&watch, start](vornex::check_client &client,
                                  std::chrono::milliseconds after) {
    const unsigned long number = watch.watch(client, start + after);
    httplib::Request request;
    request.method = "POST";
    request.path = "/v2.1/check";
    request.body = "GET / HTTP/1.1\r\n";
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    const bool answered = client.exchange(request, response, error);
    return !answered && watch.unwatch(number);
  };
  bool waiting_ended = false;
  std::thread other([&] {
    waiting_ended = exchange(waiting, std::chrono::milliseconds(400));
  });
  EXPECT_TRUE(exchange(stalled, 200ms));
  other.join();
  EXPECT_TRUE(waiting_ended);
  EXPECT_LT(clock_type::now() - start, generous_bound);
  EXPECT_TRUE(stalled.tls_failure().handshake);
}

// ---- settings that cannot be used -------------------------------------------

// Each file that cannot be read or used fails the settings with the file
// named; settings that hold load.
TEST(TlsSettings, UnusableFilesAreNamed) {
  test_certificates &c = certs();
  const std::string missing = c.authority.write("gone", "") + ".missing";
  const std::string not_pem = c.authority.write("text.pem", "no PEM here\n");
  // A certificate and its key in one file.
  std::string pair_text;
  for (const std::string *path : {&c.client.certificate, &c.client.key}) {
    FILE *file = std::fopen(path->c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
      pair_text.append(buffer, got);
    std::fclose(file);
  }
  const std::string both = c.authority.write("both.pem", pair_text);
  const std::string ca = c.authority.ca_file();
  struct settings_case {
    vornex::tls_settings settings;
    const char *says; // null: loads
    std::string file;
  };
  const settings_case cases[] = {
      {{missing, true, "", ""}, "cannot read the CA certificate file", missing},
      {{not_pem, true, "", ""}, "cannot use the CA certificate file", not_pem},
      {{ca, true, missing, ""},
       "cannot read the client certificate file",
       missing},
      {{ca, true, not_pem, c.client.key},
       "cannot use the client certificate file",
       not_pem},
      {{ca, true, c.client.certificate, missing},
       "cannot read the client key file",
       missing},
      {{ca, true, c.client.certificate, c.client.certificate},
       "cannot use the client key file",
       c.client.certificate},
      {{ca, true, c.client.certificate, c.good.key},
       "does not match",
       c.good.key},
      {{ca, true, "", c.client.key}, "has no client certificate", c.client.key},
      {{ca, true, c.client.certificate, c.client.key}, nullptr, ""},
      {{ca, true, both, ""}, nullptr, ""},
      {{"", false, "", ""}, nullptr, ""},
  };
  for (const settings_case &t : cases) {
    SCOPED_TRACE(t.settings.ca_file + " " + t.settings.certificate_file + " " +
                 t.settings.key_file);
    try {
      const vornex::tls_context context(t.settings);
      EXPECT_EQ(t.says, nullptr) << "loaded";
    } catch (const std::runtime_error &e) {
      ASSERT_NE(t.says, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(t.says), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find(t.file), std::string::npos)
          << e.what();
    }
  }
}

} // namespace
