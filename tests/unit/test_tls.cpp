#include "test_tls.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vornex_test {

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error("test certificates: " + what);
}

EVP_PKEY *new_key() {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  if (!key)
    fail("no key");
  return key;
}

void add_extension(X509 *certificate, X509V3_CTX *context, int nid,
                   const std::string &value) {
  X509_EXTENSION *extension =
      X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
  if (!extension || X509_add_ext(certificate, extension, -1) != 1)
    fail("extension " + value);
  X509_EXTENSION_free(extension);
}

// A certificate for `key` named `common_name`, signed by `issuer` with
// `issuer_key` (itself when both are null).
X509 *new_certificate(EVP_PKEY *key, const std::string &common_name,
                      X509 *issuer, EVP_PKEY *issuer_key, long serial,
                      const std::string &names, bool authority, bool expired) {
  X509 *certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  const long day = 24 * 3600;
  X509_gmtime_adj(X509_getm_notBefore(certificate), expired ? -2 * day : -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), expired ? -day : 2 * day);
  X509_set_pubkey(certificate, key);
  X509_NAME *name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char *>(common_name.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate,
                       issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : certificate, certificate, nullptr,
                 nullptr, 0);
  add_extension(certificate, &context, NID_basic_constraints,
                authority ? "critical,CA:TRUE" : "CA:FALSE");
  if (authority)
    add_extension(certificate, &context, NID_key_usage,
                  "critical,keyCertSign,cRLSign");
  add_extension(certificate, &context, NID_subject_key_identifier, "hash");
  if (!names.empty())
    add_extension(certificate, &context, NID_subject_alt_name, names);
  if (X509_sign(certificate, issuer_key ? issuer_key : key, EVP_sha256()) <= 0)
    fail("signing " + common_name);
  return certificate;
}

void write_certificate(const std::string &path, X509 *certificate) {
  FILE *file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_X509(file, certificate) != 1)
    fail("writing " + path);
  std::fclose(file);
}

void write_key(const std::string &path, EVP_PKEY *key) {
  FILE *file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr,
                                    nullptr) != 1)
    fail("writing " + path);
  std::fclose(file);
}

} // namespace

// ---- test_authority ---------------------------------------------------------

test_authority::test_authority(const std::string &name) {
  char pattern[] = "/tmp/vornex-tls-XXXXXX";
  if (!mkdtemp(pattern))
    fail("no directory");
  directory = pattern;
  key = new_key();
  certificate =
      new_certificate(key, name, nullptr, nullptr, serial++, "", true, false);
  ca_path = directory + "/ca.pem";
  write_certificate(ca_path, certificate);
}

test_authority::~test_authority() {
  X509_free(certificate);
  EVP_PKEY_free(key);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

pem_pair test_authority::issue(const std::string &label,
                               const std::string &names, bool expired) {
  EVP_PKEY *leaf_key = new_key();
  X509 *leaf = new_certificate(leaf_key, label, certificate, key, serial++,
                               names, false, expired);
  pem_pair files{directory + "/" + label + ".pem",
                 directory + "/" + label + ".key"};
  write_certificate(files.certificate, leaf);
  write_key(files.key, leaf_key);
  X509_free(leaf);
  EVP_PKEY_free(leaf_key);
  return files;
}

std::string test_authority::write(const std::string &label,
                                  const std::string &text) {
  const std::string path = directory + "/" + label;
  FILE *file = std::fopen(path.c_str(), "w");
  if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size())
    fail("writing " + path);
  std::fclose(file);
  return path;
}

// ---- test_certificates ------------------------------------------------------

test_certificates::test_certificates() {
  const std::string loopback = "IP:127.0.0.1,DNS:localhost";
  good = authority.issue("good", loopback);
  other_name = authority.issue("other-name", "DNS:checks.example");
  expired = authority.issue("expired", loopback, true);
  foreign = stranger.issue("foreign", loopback);
  client = authority.issue("client", "DNS:module.example");
  foreign_client = stranger.issue("foreign-client", "DNS:module.example");
}

test_certificates &test_certificates::shared() {
  static test_certificates made;
  return made;
}

// ---- tls_check_server -------------------------------------------------------

tls_check_server::tls_check_server(const pem_pair &identity,
                                   const std::string &client_ca)
    : canned_check_server(https_server(identity, client_ca, this)) {}

tls_check_server::~tls_check_server() { server().stop(); }

// The server and its context's callbacks are made before it listens; the
// callbacks run only for connections, once the object is whole.
std::unique_ptr<httplib::Server>
tls_check_server::https_server(const pem_pair &identity,
                               const std::string &client_ca,
                               tls_check_server *self) {
  auto server = std::make_unique<httplib::SSLServer>(
      identity.certificate.c_str(), identity.key.c_str(),
      client_ca.empty() ? nullptr : client_ca.c_str());
  if (!server->is_valid())
    throw std::runtime_error("tls_check_server: certificate not usable");
  // The library closes a kept connection after five requests by default.
  server->set_keep_alive_max_count(1000);
  SSL_CTX *context = server->ssl_context();
  SSL_CTX_set_app_data(context, self);
  SSL_CTX_set_info_callback(context, on_info);
  SSL_CTX_set_tlsext_servername_callback(context, on_server_name);
  SSL_CTX_set_tlsext_servername_arg(context, self);
  return server;
}

void tls_check_server::on_info(const SSL *ssl, int where, int) {
  if (!(where & SSL_CB_HANDSHAKE_DONE))
    return;
  auto *self = static_cast<tls_check_server *>(
      SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  ++self->handshakes_;
}

int tls_check_server::on_server_name(SSL *ssl, int *, void *arg) {
  auto *self = static_cast<tls_check_server *>(arg);
  const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  std::lock_guard<std::mutex> lock(self->name_mutex_);
  self->server_name_ = name ? name : "";
  return SSL_TLSEXT_ERR_OK;
}

std::string tls_check_server::address(const std::string &host) const {
  return "https://" + host + ":" + std::to_string(port());
}

void tls_check_server::keep_idle(time_t seconds) {
  server().set_keep_alive_timeout(seconds);
}

std::string tls_check_server::server_name() const {
  std::lock_guard<std::mutex> lock(name_mutex_);
  return server_name_;
}

// ---- raw_tls_server -----------------------------------------------------

raw_tls_server::raw_tls_server(const pem_pair &identity, std::string reply,
                               bool close_notify)
    : context_(SSL_CTX_new(TLS_server_method())), reply_(std::move(reply)),
      close_notify_(close_notify),
      serving_([this](int connection, const std::atomic<bool> &stopping) {
        serve(connection, stopping);
      }) {
  if (!context_ ||
      SSL_CTX_use_certificate_chain_file(context_,
                                         identity.certificate.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context_, identity.key.c_str(),
                                  SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("raw_tls_server: certificate not usable");
}

raw_tls_server::~raw_tls_server() { SSL_CTX_free(context_); }

std::string raw_tls_server::address() const {
  return "https://127.0.0.1:" + std::to_string(serving_.port());
}

void raw_tls_server::serve(int connection, const std::atomic<bool> &) {
  // Every wait on the connection is bounded, the handshake's included.
  timeval limit{30, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  SSL *session = SSL_new(context_);
  SSL_set_fd(session, connection);
  std::string request;
  if (SSL_accept(session) == 1) {
    char buffer[4096];
    size_t end = std::string::npos;
    size_t length = 0;
    for (;;) {
      if (end == std::string::npos &&
          (end = request.find("\r\n\r\n")) != std::string::npos) {
        const size_t at = request.find("Content-Length: ");
        if (at != std::string::npos && at < end)
          length = std::strtoul(request.c_str() + at + 16, nullptr, 10);
      }
      if (end != std::string::npos && request.size() >= end + 4 + length)
        break;
      const int got = SSL_read(session, buffer, sizeof buffer);
      if (got <= 0)
        break;
      request.append(buffer, static_cast<size_t>(got));
    }
    SSL_write(session, reply_.data(), static_cast<int>(reply_.size()));
    if (close_notify_)
      SSL_shutdown(session);
  }
  SSL_free(session);
  ::close(connection);
}

// ---- mute_server ------------------------------------------------------------

mute_server::mute_server()
    : serving_([this](int connection, const std::atomic<bool> &stopping) {
        ++connections_;
        const auto deadline = clock_type::now() + std::chrono::seconds(30);
        char buffer[4096];
        while (!stopping && clock_type::now() < deadline) {
          pollfd p{connection, POLLIN, 0};
          if (::poll(&p, 1, 50) > 0 &&
              ::recv(connection, buffer, sizeof(buffer), 0) <= 0)
            break;
        }
        ::close(connection);
      }) {}

std::string mute_server::address() const {
  return "https://127.0.0.1:" + std::to_string(serving_.port());
}

} // namespace vornex_test
