#include "options.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vornex {
namespace check_server {
namespace {

// Without arguments the server listens on loopback port 8181 with 64 threads
// and no rules file.
TEST(Options, DefaultsToLoopback) {
  options opts;
  std::string error;
  ASSERT_TRUE(parse_options({}, opts, error));
  EXPECT_EQ(opts.host, "127.0.0.1");
  EXPECT_EQ(opts.port, 8181);
  EXPECT_EQ(opts.threads, 64u);
  EXPECT_EQ(opts.rules_path, "");
}

// Both "--flag value" and "--flag=value" are read.
TEST(Options, ReadsBothFlagForms) {
  options opts;
  std::string error;
  ASSERT_TRUE(parse_options(
      {"--listen=[::1]:0", "--rules", "a.rules", "--threads=8"}, opts, error))
      << error;
  EXPECT_EQ(opts.host, "::1");
  EXPECT_EQ(opts.port, 0);
  EXPECT_EQ(opts.rules_path, "a.rules");
  EXPECT_EQ(opts.threads, 8u);
}

// The TLS files are taken as given, the client authorities with them.
TEST(Options, ReadsTlsFiles) {
  options opts;
  std::string error;
  ASSERT_TRUE(parse_options(
      {"--tls-cert", "c.pem", "--tls-key=k.pem", "--client-ca", "ca.pem"}, opts,
      error))
      << error;
  EXPECT_EQ(opts.tls_cert, "c.pem");
  EXPECT_EQ(opts.tls_key, "k.pem");
  EXPECT_EQ(opts.client_ca, "ca.pem");
}

// --fault may be repeated; each adds a fault in the given order.
TEST(Options, CollectsFaults) {
  options opts;
  std::string error;
  ASSERT_TRUE(parse_options(
      {"--fault", "silent:5:20", "--fault=delay:30:2:150"}, opts, error))
      << error;
  ASSERT_EQ(opts.faults.size(), 2u);
  EXPECT_EQ(describe(opts.faults[0]), "silent from +5.000 s for 20.000 s");
  EXPECT_EQ(describe(opts.faults[1]),
            "delay from +30.000 s for 2.000 s, answers after 150 ms");
}

struct bad_case {
  const char *what;
  std::vector<std::string> args;
  const char *error;
  friend std::ostream &operator<<(std::ostream &os, const bad_case &c) {
    return os << c.what;
  }
};

class BadOptions : public ::testing::TestWithParam<bad_case> {};

// A wrong argument is refused with a message naming it.
TEST_P(BadOptions, AreRefused) {
  options opts;
  std::string error;
  EXPECT_FALSE(parse_options(GetParam().args, opts, error));
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadOptions,
    ::testing::Values(
        bad_case{"unknown_flag", {"--port", "1"}, "unknown argument '--port'"},
        bad_case{"missing_value", {"--rules"}, "--rules needs a value"},
        bad_case{"port_only",
                 {"--listen", "8181"},
                 "--listen '8181' is not ADDR:PORT"},
        bad_case{"bare_ipv6",
                 {"--listen", "::1:80"},
                 "--listen '::1:80' is not ADDR:PORT"},
        bad_case{"port_range",
                 {"--listen", "h:65536"},
                 "--listen 'h:65536' is not ADDR:PORT"},
        bad_case{"empty_host",
                 {"--listen", ":80"},
                 "--listen ':80' is not ADDR:PORT"},
        bad_case{"zero_threads",
                 {"--threads", "0"},
                 "--threads '0' is not from 1 to 4096"},
        bad_case{"bad_fault",
                 {"--fault", "crash:0:1"},
                 "--fault 'crash:0:1': mode is not answer, silent, refuse or "
                 "delay"},
        bad_case{"many_threads",
                 {"--threads=5000"},
                 "--threads '5000' is not from 1 to 4096"},
        bad_case{"certificate_without_key",
                 {"--tls-cert", "c.pem"},
                 "--tls-cert and --tls-key go together"},
        bad_case{"key_without_certificate",
                 {"--tls-key=k.pem"},
                 "--tls-cert and --tls-key go together"},
        bad_case{"client_ca_without_tls",
                 {"--client-ca", "ca.pem"},
                 "--client-ca needs --tls-cert and --tls-key"},
        bad_case{"empty_certificate",
                 {"--tls-cert=", "--tls-key", "k.pem"},
                 "--tls-cert needs a file name"}),
    [](const auto &info) { return std::string(info.param.what); });

} // namespace
} // namespace check_server
} // namespace vornex
