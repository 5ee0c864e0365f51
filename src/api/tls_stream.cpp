#include "tls_stream.h"

#include "address.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace vornex {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- the socket under a session ---------------------------------------------
//
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a
// connection the server has reset, and blocks on a blocking socket. This one
// sends and receives as the plain stream does: never a signal, never a
// wait; the stream and the handshake wait with poll, bounded.

int socket_of(BIO *bio) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

int bio_write(BIO *bio, const char *bytes, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t sent;
  do
    sent = send(socket_of(bio), bytes, static_cast<size_t>(size),
                MSG_NOSIGNAL | MSG_DONTWAIT);
  while (sent < 0 && errno == EINTR);
  if (sent < 0 && would_block(errno))
    BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int bio_read(BIO *bio, char *bytes, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t got;
  do
    got = recv(socket_of(bio), bytes, static_cast<size_t>(size), MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  if (got < 0 && would_block(errno))
    BIO_set_retry_read(bio);
  // The session asks whether a read of nothing was the end of the
  // connection.
  if (got == 0)
    BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return static_cast<int>(got);
}

long bio_control(BIO *bio, int command, long, void *pointer) {
  switch (command) {
  case BIO_CTRL_FLUSH:
    return 1; // nothing is held here
  case BIO_CTRL_EOF:
    return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
  case BIO_C_GET_FD:
    if (pointer)
      *static_cast<int *>(pointer) = socket_of(bio);
    return socket_of(bio);
  default:
    return 0;
  }
}

// Made once, used by every session of the process, never freed.
BIO_METHOD *socket_method() {
  static BIO_METHOD *const method = [] {
    BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                    "vornex check socket");
    if (made) {
      BIO_meth_set_write(made, bio_write);
      BIO_meth_set_read(made, bio_read);
      BIO_meth_set_ctrl(made, bio_control);
    }
    return made;
  }();
  return method;
}

BIO *socket_bio(int sock) {
  BIO_METHOD *method = socket_method();
  BIO *bio = method ? BIO_new(method) : nullptr;
  if (bio) {
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(sock)));
    BIO_set_init(bio, 1);
  }
  return bio;
}

short events_for(int error) {
  return error == SSL_ERROR_WANT_READ    ? POLLIN
         : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                         : 0;
}

// A server that refuses the client certificate (or its absence) says so in
// an alert sent after the handshake, with TLS 1.3 once the check has been
// sent: the check arriving at the closed connection may reset it before the
// alert is read. The session's app data marks that the server asked for a
// certificate, so that the reason can say so then.
char asked_for_certificate;

int note_certificate_request(SSL *session, void *) {
  SSL_set_app_data(session, &asked_for_certificate);
  return 1;
}

// The reason for a failed TLS call, `error` being what SSL_get_error said
// and `system_error` the errno right after it.
std::string reason_for(SSL *session, int error, int system_error) {
  std::string reason = openssl_failure("");
  const long verified = SSL_get_verify_result(session);
  if (verified != X509_V_OK && reason == "certificate verify failed")
    reason += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
  if (reason.empty() && error == SSL_ERROR_SYSCALL) {
    reason = system_error ? std::strerror(system_error)
                          : "the server closed the connection";
    if (SSL_get_app_data(session) == &asked_for_certificate)
      reason += " after it asked for a client certificate";
  }
  return reason.empty() ? "unknown reason" : reason;
}

} // namespace

// ---- the stream -------------------------------------------------------------

tls_stream::tls_stream(int sock, SSL *session, milliseconds read_wait,
                       milliseconds write_wait, answer_meter &meter,
                       bool look_first)
    : check_stream(sock, read_wait, write_wait, meter, look_first),
      session(session) {}

bool tls_stream::wait_as_asked(int error, milliseconds limit) const {
  const short events = events_for(error);
  return events && wait_for(events, limit);
}

// A connection reset after the handshake fails as it would over plain TCP,
// with the library's text; only TLS's own failures are named (an alert, a
// record that does not decrypt), and a reset once the server has asked for
// a client certificate, most likely its refusal.
void tls_stream::note(int error) {
  const int system_error = errno;
  if (!failed.empty() ||
      (error == SSL_ERROR_SYSCALL &&
       SSL_get_app_data(session) != &asked_for_certificate)) {
    ERR_clear_error();
    return;
  }
  failed = reason_for(session, error, system_error);
}

// What has arrived on an idle connection is either records the session
// takes without handing anything on (a TLS 1.3 session ticket), the
// server's close_notify, or the end of the connection; the raw look the
// library makes before a request cannot tell them apart.
bool tls_stream::server_closed() const {
  const arrival arrived = look();
  if (arrived != arrival::something)
    return arrived == arrival::gone;
  char byte;
  ERR_clear_error();
  const int got = SSL_peek(session, &byte, 1);
  if (got > 0)
    return false;
  const int error = SSL_get_error(session, got);
  ERR_clear_error();
  return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

bool tls_stream::write_all(const char *bytes, size_t size) {
  while (size > 0) {
    ERR_clear_error();
    const int put = SSL_write(
        session, bytes, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (put > 0) {
      bytes += put;
      size -= static_cast<size_t>(put);
      continue;
    }
    const int error = SSL_get_error(session, put);
    if (wait_as_asked(error, write_wait))
      continue;
    if (!events_for(error))
      note(error);
    return false;
  }
  return true;
}

bool tls_stream::send_pieces(const char *first, size_t first_size,
                             const char *second, size_t second_size) {
  return write_all(first, first_size) && write_all(second, second_size);
}

ssize_t tls_stream::receive_some(char *buffer, size_t size) {
  for (;;) {
    ERR_clear_error();
    const int got = SSL_read(session, buffer,
                             static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (got > 0)
      return got;
    const int error = SSL_get_error(session, got);
    if (error == SSL_ERROR_WANT_READ)
      return nothing_yet;
    if (error == SSL_ERROR_ZERO_RETURN)
      return 0;
    if (error == SSL_ERROR_WANT_WRITE && wait_as_asked(error, read_wait))
      continue;
    if (!events_for(error))
      note(error);
    return -1;
  }
}

bool tls_stream::holds_received() const { return SSL_has_pending(session); }

// ---- the handshake ----------------------------------------------------------

handshake_result tls_handshake(const tls_context &context, int sock,
                               const std::string &host, milliseconds wait,
                               clock::time_point deadline) {
  handshake_result result;
  ERR_clear_error();
  SSL *session = SSL_new(context.get());
  BIO *bio = session ? socket_bio(sock) : nullptr;
  if (!bio) {
    result.failure = openssl_failure("out of memory");
    SSL_free(session);
    return result;
  }
  SSL_set_bio(session, bio, bio);
  SSL_set_cert_cb(session, note_certificate_request, nullptr);
  // Names the certificate must match: the host's name, or its address; a
  // server name is only ever a name.
  const bool address = is_ip_literal(host);
  bool named = address || SSL_set_tlsext_host_name(session, host.c_str()) == 1;
  if (named && context.verifies()) {
    X509_VERIFY_PARAM *param = SSL_get0_param(session);
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = address ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                    : SSL_set1_host(session, host.c_str()) == 1;
  }
  if (!named) {
    result.failure = "'" + host + "' cannot be used as the server's name";
    SSL_free(session);
    ERR_clear_error();
    return result;
  }
  SSL_set_connect_state(session);
  for (;;) {
    ERR_clear_error();
    const int done = SSL_do_handshake(session);
    if (done == 1) {
      result.session = session;
      return result;
    }
    const int system_error = errno;
    const int error = SSL_get_error(session, done);
    const short events = events_for(error);
    if (!events) {
      result.failure = reason_for(session, error, system_error);
      break;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(
        deadline - clock::now() + milliseconds(1));
    if (left.count() <= 0 ||
        !wait_on_socket(sock, events, std::min(wait, left))) {
      result.timed_out = true;
      result.failure = "the handshake ran out of time";
      break;
    }
  }
  SSL_free(session);
  ERR_clear_error();
  return result;
}

void tls_end(SSL *session, bool gracefully) {
  if (!session)
    return;
  if (gracefully && SSL_is_init_finished(session)) {
    ERR_clear_error();
    SSL_shutdown(session);
  }
  SSL_free(session);
  ERR_clear_error();
}

} // namespace vornex
