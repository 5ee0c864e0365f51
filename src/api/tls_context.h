// What the checks to https:// addresses trust and present: the certificates
// a server's chain is verified against, whether it is verified at all, and
// the client certificate with its key. Loading them costs far more than a
// check (the system's trust store alone takes some 20 ms), so they are
// loaded once, into one OpenSSL context per distinct setting, which every
// connection of the process then shares read-only.
#ifndef VORNEX_TLS_CONTEXT_H
#define VORNEX_TLS_CONTEXT_H

#include <openssl/ssl.h>

#include <string>

namespace vornex {

struct tls_settings {
  // PEM certificates of the authorities trusted instead of the system's
  // trust store; empty: the system's.
  std::string ca_file;
  // Verify the server's chain and that its certificate names the host.
  bool verify = true;
  // PEM client certificate (with its chain) presented when a server asks;
  // empty: none.
  std::string certificate_file;
  // Its private key, unencrypted PEM; empty: taken from certificate_file.
  std::string key_file;
};

class tls_context {
public:
  // Loads what `settings` name; throws std::runtime_error naming the file
  // that cannot be read or used, or the key that does not match the
  // certificate.
  explicit tls_context(const tls_settings &settings);
  ~tls_context();
  tls_context(const tls_context &) = delete;
  tls_context &operator=(const tls_context &) = delete;

  SSL_CTX *get() const { return context; }
  bool verifies() const { return verify; }
  // Different for every context the process makes, so that connections
  // made under one setting are never handed to calls under another.
  unsigned long id() const { return number; }

  // The context of a record given none: the system's trust store, with
  // verification; made at its first use and kept for the process.
  static const tls_context &system_default();

private:
  SSL_CTX *context = nullptr;
  bool verify = true;
  unsigned long number = 0;
};

// The text of the reason OpenSSL gives for the last failure on this thread,
// or `otherwise` when it gives none; the thread's error queue is emptied.
std::string openssl_failure(const char *otherwise);

} // namespace vornex

#endif
