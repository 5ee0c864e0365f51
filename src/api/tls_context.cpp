#include "tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vornex {

namespace {

std::atomic<unsigned long> contexts_made{0};

// An encrypted key would make OpenSSL ask for its pass phrase on the
// terminal, and a server starting up would wait there for ever: no pass
// phrase is ever given, so such a key fails to load.
int no_pass_phrase(char *, int, int, void *) { return 0; }

[[noreturn]] void refuse(const std::string &what) {
  throw std::runtime_error(what);
}

// Fails with the system's reason when `path` cannot be opened, before
// OpenSSL would give a vaguer one.
void require_readable(const std::string &path, const char *what) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file)
    refuse(std::string("cannot read the ") + what + " " + path + ": " +
           std::strerror(errno));
  std::fclose(file);
}

} // namespace

std::string openssl_failure(const char *otherwise) {
  std::string text;
  while (const unsigned long code = ERR_get_error())
    if (text.empty())
      if (const char *reason = ERR_reason_error_string(code))
        text = reason;
  return text.empty() ? otherwise : text;
}

tls_context::tls_context(const tls_settings &settings)
    : verify(settings.verify), number(++contexts_made) {
  ERR_clear_error();
  context = SSL_CTX_new(TLS_client_method());
  if (!context)
    refuse("cannot make a TLS context: " + openssl_failure("out of memory"));
  try {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A record is written as soon as it is made, and a write that the
    // socket only partly takes goes on where it stopped; records are read
    // as many at once as have arrived.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE |
                                  SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(context, 1);
    // HTTP delimits its answers itself (a length, chunks) and the library
    // fails one cut short; many servers end a connection without
    // close_notify, which is then read as its end, as over plain TCP.
    SSL_CTX_set_options(context,
                        SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_default_passwd_cb(context, no_pass_phrase);
    SSL_CTX_set_verify(context, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                       nullptr);

    if (settings.ca_file.empty()) {
      if (verify && SSL_CTX_set_default_verify_paths(context) != 1)
        refuse("cannot load the system's trust store: " +
               openssl_failure("unknown reason"));
    } else {
      const char what[] = "CA certificate file";
      require_readable(settings.ca_file, what);
      if (SSL_CTX_load_verify_file(context, settings.ca_file.c_str()) != 1)
        refuse(std::string("cannot use the ") + what + " " + settings.ca_file +
               ": " + openssl_failure("no certificate in it"));
    }

    if (settings.certificate_file.empty()) {
      if (!settings.key_file.empty())
        refuse("the client key " + settings.key_file +
               " has no client certificate to go with it");
      return;
    }
    const char what[] = "client certificate file";
    require_readable(settings.certificate_file, what);
    if (SSL_CTX_use_certificate_chain_file(
            context, settings.certificate_file.c_str()) != 1)
      refuse(std::string("cannot use the ") + what + " " +
             settings.certificate_file + ": " +
             openssl_failure("no certificate in it"));
    const std::string &key = settings.key_file.empty()
                                 ? settings.certificate_file
                                 : settings.key_file;
    require_readable(key, "client key file");
    BIO *file = BIO_new_file(key.c_str(), "r");
    EVP_PKEY *private_key =
        file ? PEM_read_bio_PrivateKey(file, nullptr, no_pass_phrase, nullptr)
             : nullptr;
    BIO_free(file);
    if (!private_key)
      refuse("cannot use the client key file " + key + ": " +
             openssl_failure("no unencrypted key in it"));
    const bool taken = SSL_CTX_use_PrivateKey(context, private_key) == 1 &&
                       SSL_CTX_check_private_key(context) == 1;
    EVP_PKEY_free(private_key);
    if (!taken)
      refuse("the client key " + key + " does not match the certificate " +
             settings.certificate_file + ": " + openssl_failure("they differ"));
  } catch (...) {
    SSL_CTX_free(context);
    throw;
  }
}

tls_context::~tls_context() { SSL_CTX_free(context); }

const tls_context &tls_context::system_default() {
  // Never freed: a worker may use it until it exits, and OpenSSL cleans up
  // at exit on its own.
  static const tls_context *const made = new tls_context(tls_settings());
  return *made;
}

} // namespace vornex
