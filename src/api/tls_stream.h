// The check stream over TLS, and the handshake that starts it.
//
// The library's own TLS client loads its trust store for every client it
// makes, shakes hands while it holds the lock that stopping the client
// takes (so a deadline cannot end a stalled handshake without waiting for
// it), sends the server name for IP addresses too and looks at the
// certificate only once the handshake is over. Here the check_client shakes
// hands itself, after connecting and outside that lock, under a context
// loaded once (tls_context.h): without a wait that outlasts the attempt's
// deadline, ended at once when the deadline's watch shuts the socket down,
// and with the chain and the name verified inside the handshake. The
// session then carries the stream's sends and receives, in the same few
// system calls as a plain one: a record is sent when the plain stream would
// send its bytes, and received ones are read as many at once as have come.
#ifndef VORNEX_TLS_STREAM_H
#define VORNEX_TLS_STREAM_H

#include "check_stream.h"
#include "tls_context.h"

#include <openssl/ssl.h>

#include <chrono>
#include <string>

namespace vornex {

class tls_stream : public check_stream {
public:
  // A stream through `session`, whose handshake is done, on the connected
  // socket `sock`; the session stays the caller's.
  tls_stream(int sock, SSL *session, std::chrono::milliseconds read_wait,
             std::chrono::milliseconds write_wait, answer_meter &meter,
             bool look_first);

  // Why TLS failed while sending or receiving (an alert from the server, a
  // record that does not decrypt); empty when it did not, or when the
  // connection failed as a plain one would.
  const std::string &failure() const { return failed; }

private:
  bool server_closed() const override;
  bool send_pieces(const char *first, size_t first_size, const char *second,
                   size_t second_size) override;
  ssize_t receive_some(char *buffer, size_t size) override;
  bool holds_received() const override;

  bool write_all(const char *bytes, size_t size);
  // Waits for what SSL_get_error's `error` asks: the socket readable or
  // writable. False for any other error, or a wait that ran out.
  bool wait_as_asked(int error, std::chrono::milliseconds limit) const;
  void note(int error);

  SSL *const session;
  std::string failed;
};

// How a handshake came out.
struct handshake_result {
  SSL *session = nullptr; // the session, or null when it failed
  std::string failure;    // why it failed
  bool timed_out = false; // a wait ran out
};

// Starts a session under `context` on the connected socket `sock` and
// shakes hands with the server `host`: its certificate must name `host`
// (unless the context does not verify), and a host name (not an address) is
// sent as the server name. Each wait lasts at most `wait`, and none goes
// past `deadline`.
handshake_result tls_handshake(const tls_context &context, int sock,
                               const std::string &host,
                               std::chrono::milliseconds wait,
                               std::chrono::steady_clock::time_point deadline);

// Ends a session: with `gracefully`, tells the server (close_notify) if the
// socket takes it at once; then frees it.
void tls_end(SSL *session, bool gracefully);

} // namespace vornex

#endif
