// TLS for the unit tests: a private certificate authority that issues
// certificates made for each run (with OpenSSL, into a temporary
// directory), and check servers on loopback that answer over TLS.
#ifndef VORNEX_TEST_TLS_H
#define VORNEX_TEST_TLS_H

#include <httplib.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_servers.h"

namespace vornex_test {

// A certificate and its key as PEM files.
struct pem_pair {
  std::string certificate;
  std::string key;
};

// A certificate authority of its own, with its files in a directory removed
// when it goes.
class test_authority {
public:
  explicit test_authority(const std::string &name = "vornex test CA");
  ~test_authority();
  test_authority(const test_authority &) = delete;
  test_authority &operator=(const test_authority &) = delete;

  // The authority's own certificate, to be trusted.
  const std::string &ca_file() const { return ca_path; }
  // A certificate for `names` ("DNS:localhost", "IP:127.0.0.1", ...) signed
  // by this authority; with `expired`, one whose validity ended a day ago.
  pem_pair issue(const std::string &label, const std::string &names,
                 bool expired = false);
  // A file of the authority's directory holding `text`.
  std::string write(const std::string &label, const std::string &text);

private:
  std::string directory;
  std::string ca_path;
  EVP_PKEY *key = nullptr;
  X509 *certificate = nullptr;
  long serial = 1;
};

// Server certificates for 127.0.0.1 and localhost made once per test
// program by one authority, and the same by another authority.
struct test_certificates {
  test_authority authority;
  test_authority stranger{"another CA"};
  pem_pair good;       // IP:127.0.0.1, DNS:localhost
  pem_pair other_name; // DNS:checks.example
  pem_pair expired;    // IP:127.0.0.1, DNS:localhost, no longer valid
  pem_pair foreign;    // IP:127.0.0.1, DNS:localhost, by the other CA
  pem_pair client;     // a client certificate by the authority
  pem_pair foreign_client;

  static test_certificates &shared();

private:
  test_certificates();
};

// A cpp-httplib server answering POST /v2.1/check over TLS with a canned
// reply; it counts completed handshakes and remembers the server name of
// the last one. With `client_ca`, it asks for a client certificate and
// refuses a connection without one from that authority.
class tls_check_server : public canned_check_server {
public:
  explicit tls_check_server(const pem_pair &identity,
                            const std::string &client_ca = "");
  // Stops the server before the counts its callbacks write go.
  ~tls_check_server() override;

  // "https://HOST:PORT".
  std::string address(const std::string &host = "127.0.0.1") const;
  // How long an idle kept connection stays open, in seconds.
  void keep_idle(time_t seconds);
  int handshakes() const { return handshakes_; }
  std::string server_name() const;

private:
  static std::unique_ptr<httplib::Server>
  https_server(const pem_pair &identity, const std::string &client_ca,
               tls_check_server *self);
  static void on_info(const SSL *ssl, int where, int);
  static int on_server_name(SSL *ssl, int *, void *arg);

  std::atomic<int> handshakes_{0};
  mutable std::mutex name_mutex_;
  std::string server_name_;
};

// A one-thread TLS server written with OpenSSL alone, for answers the
// library would never write: it reads one request (its head and a
// Content-Length body), writes `reply` and closes the connection, with
// close_notify first or without it.
class raw_tls_server {
public:
  raw_tls_server(const pem_pair &identity, std::string reply,
                 bool close_notify);
  ~raw_tls_server();
  raw_tls_server(const raw_tls_server &) = delete;
  raw_tls_server &operator=(const raw_tls_server &) = delete;

  std::string address() const;

private:
  void serve(int connection, const std::atomic<bool> &stopping);

  SSL_CTX *context_;
  std::string reply_;
  bool close_notify_;
  serving_thread serving_; // last: its thread ends before the rest goes
};

// A loopback port that accepts connections and never says a word: a TLS
// handshake with it never completes. Connections are held until the client
// goes, the object goes or 30 s pass.
class mute_server {
public:
  mute_server();
  int port() const { return serving_.port(); }
  // "https://127.0.0.1:PORT".
  std::string address() const;
  int connections() const { return connections_; }

private:
  std::atomic<int> connections_{0};
  serving_thread serving_; // last: its thread ends before the rest goes
};

} // namespace vornex_test

#endif
