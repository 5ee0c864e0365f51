// The socket stream the checks go through, and the client that uses it.
//
// The library's own socket stream waits before every send and every
// receive, reads at most 4 KiB at a time and sends the head and the body of
// a request in separate writes; it bounds nothing while it reads. This
// stream holds what the library writes until the answer is wanted, so that
// a check goes out in one send (a large one in few, each as large as the
// socket takes), waits only when a send or a receive would block, receives
// in large pieces, and hands every byte of the answer to an answer_meter
// before the library sees it. Over TLS (tls_stream.h) the same stream
// sends and receives records instead, with the same waits and bounds.
#ifndef VORNEX_CHECK_STREAM_H
#define VORNEX_CHECK_STREAM_H

#include <httplib.h>

#include "answer_meter.h"
#include "answer_reader.h"

#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace vornex {

class tls_context;

// Waits up to `limit` for `events` on `sock`, going on after a signal;
// false when the time ran out or the wait failed.
bool wait_on_socket(int sock, short events, std::chrono::milliseconds limit);

class check_stream : public httplib::Stream {
public:
  // Bytes held back before they are sent, and bytes received at once.
  static const size_t send_hold = 16 * 1024;
  static const size_t receive_size = 16 * 1024;

  // A stream on the connected socket `sock`, each wait on which lasts at
  // most `read_wait` (to receive) or `write_wait` (to send). With
  // `look_first`, the first send looks whether the server has closed the
  // connection, as every later one does; a connection that the library
  // has just looked at needs no second look. With `receive_waits`, the
  // socket blocks and its receive time-out is `read_wait`: a receive then
  // waits by itself, one system call where a wait and a receive are two.
  check_stream(int sock, std::chrono::milliseconds read_wait,
               std::chrono::milliseconds write_wait, answer_meter &meter,
               bool look_first, bool receive_waits = false);
  virtual ~check_stream() = default;
  check_stream(const check_stream &) = delete;
  check_stream &operator=(const check_stream &) = delete;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char *ptr, size_t size) override;
  ssize_t write(const char *ptr, size_t size) override;
  void get_remote_ip_and_port(std::string &ip, int &port) const override;
  void get_local_ip_and_port(std::string &ip, int &port) const override;
  socket_t socket() const override { return sock; }

  // True once a send failed: the request did not go out whole.
  bool send_failed() const { return unsent; }

protected:
  // What receive_some returns when nothing has arrived yet, and what a
  // receive that waits returns when a signal cut its wait short.
  static constexpr ssize_t nothing_yet = -2;
  static constexpr ssize_t interrupted = -3;

  // Waits up to `limit` for `events` on the socket; false when it ran out
  // or failed.
  bool wait_for(short events, std::chrono::milliseconds limit) const;
  // Looks, without a wait, whether anything (bytes, or the end of the
  // connection) has arrived; a socket that is no longer open counts as
  // closed.
  enum class arrival { nothing, something, gone };
  arrival look() const;

  // The only places that touch the connection; the TLS stream replaces
  // them. Whether the server has closed the connection, looked at without
  // a wait.
  virtual bool server_closed() const;
  // Sends `first_size` bytes at `first` and then `second_size` at
  // `second`, in as few sends as the socket allows, each wait on it within
  // write_wait; false when they could not all be sent.
  virtual bool send_pieces(const char *first, size_t first_size,
                           const char *second, size_t second_size);
  // Receives what has arrived, at most `size` bytes, without a wait: the
  // bytes received, 0 at the end of the connection, nothing_yet, or -1 on
  // an error.
  virtual ssize_t receive_some(char *buffer, size_t size);
  // True when bytes have been received that receive_some will return
  // without a wait on the socket.
  virtual bool holds_received() const { return false; }

  const int sock;
  const std::chrono::milliseconds read_wait;
  const std::chrono::milliseconds write_wait;

private:
  // Sends what is held and then `size` bytes at `more`; false when they
  // could not all be sent.
  bool send_all(const char *more, size_t size);
  // Receives on the blocking socket, waiting up to its receive time-out:
  // the bytes received, 0 at the end of the connection, nothing_yet when
  // the time ran out, interrupted, or -1 on an error. Plain TCP only.
  ssize_t receive_waiting(char *buffer, size_t size);
  // Fills the receive buffer; the bytes received, 0 at the end of the
  // connection, -1 on an error or a wait that ran out.
  ssize_t receive();

  answer_meter &meter;
  bool look_before_send;
  bool receive_waits;
  bool unsent = false;
  bool broken = false;
  // A receive that filled the buffer leaves more waiting, most likely: the
  // next one tries without a wait first.
  bool more_waiting = false;
  size_t held = 0;
  size_t received = 0;
  size_t handed = 0;
  std::array<char, send_hold> hold_buffer;
  std::array<char, receive_size> receive_buffer;
};

// One check request as check_client::post sends it: the record's headers
// (the client adds those the library would: Host, Accept, Connection,
// Content-Length), then the body, `body_size` bytes at `body` followed by
// `file_length` bytes of the file open as `file_fd`, read in pieces as they
// are sent. Its answer's body goes to `sink`, and what went wrong on this
// side is noted in the flags.
struct check_post {
  const httplib::Headers *headers = nullptr;
  // The Host header's value; null: the library's, from the client's host
  // and port.
  const std::string *host = nullptr;
  // The Content-Type header's value, or null for none.
  const char *content_type = nullptr;
  const char *body = nullptr;
  size_t body_size = 0;
  int file_fd = -1;
  uint64_t file_length = 0;
  // Looked at before each piece of the body: past it, the sending stops.
  std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::time_point::max();
  answer_sink *sink = nullptr;

  bool late = false;         // the deadline passed while the body went out
  bool file_failed = false;  // the file could not be read
  bool write_failed = false; // the socket would not take the request
};

// A client whose requests go through a check_stream that bounds each
// answer with `limits`; with a TLS context, over TLS (tls_stream.h).
class check_client : public httplib::ClientImpl {
public:
  using clock = std::chrono::steady_clock;

  // With `tls` (which must outlive the client) every connection is made
  // over TLS under its settings, the handshake being part of connecting.
  check_client(const std::string &host, int port, const answer_limits &limits,
               const tls_context *tls = nullptr);
  ~check_client() override;

  // One request and its answer, as ClientImpl::send, with a new meter whose
  // head ends when the library has read the answer's head (before the
  // request's own response handler runs). Requests go through here.
  bool exchange(httplib::Request &request, httplib::Response &response,
                httplib::Error &error);
  // One check request and its answer, with the library's connection
  // handling (a kept connection looked at first, a new one made when there
  // is none, the connection closed after an answer that asks it), but the
  // request written and the answer read by this client: the same bytes on
  // the wire and the same outcome, at a fraction of the cost.
  bool post(check_post &request, httplib::Response &response,
            httplib::Error &error);
  // The cap on the head the answer of the last exchange or post went over.
  answer_meter::excess over() const;
  // True when the last exchange could not send the whole request.
  bool send_failed() const { return unsent; }

  // A handshake waits no longer than this, besides the connection time-out
  // that bounds each of its waits.
  void set_deadline(clock::time_point until) { deadline = until; }
  // The TLS settings the client's connections are made under, or null.
  const tls_context *tls() const { return settings; }

  // What went wrong in TLS in the last exchange: nothing (an empty
  // reason), the handshake, or the session afterwards.
  struct tls_trouble {
    std::string reason;
    bool handshake = false;
    bool timed_out = false; // a wait of the handshake ran out
  };
  const tls_trouble &tls_failure() const { return trouble; }

private:
  bool create_and_connect_socket(Socket &socket,
                                 httplib::Error &error) override;
  // Connects as the library does, in fewer system calls: the socket is
  // made close-on-exec at once, and a blocking connect bounded by the
  // socket's send time-out takes the place of a non-blocking one, a wait,
  // and the blocking mode set back after.
  bool connect_socket(Socket &socket, httplib::Error &error);
  // Makes the receive time-out of the socket `read_wait`; false when it
  // could not.
  bool set_receive_wait(int sock, std::chrono::milliseconds read_wait);
  bool process_socket(const Socket &socket,
                      std::function<bool(httplib::Stream &)> callback) override;
  // The library calls this before it closes a socket.
  void shutdown_ssl(Socket &socket, bool gracefully) override;
  void end_session(bool gracefully);
  // The request of post and its answer on `stream`.
  bool post_on(check_stream &stream);

  const answer_limits limits;
  answer_meter answer;
  // The post in progress, and where its error goes.
  check_post *posting = nullptr;
  httplib::Error *posting_error = nullptr;
  httplib::Response *posting_response = nullptr;
  answer_meter::excess post_over = answer_meter::excess::none;
  // The request's head, kept for the next post on the connection.
  std::string head;
  // The socket was connected for this exchange; a kept one the library has
  // looked at just before it uses it.
  bool connected_now = false;
  bool unsent = false;
  const tls_context *const settings;
  // The TLS session of the open socket `session_socket`, or null.
  SSL *session = nullptr;
  int session_socket = -1;
  clock::time_point deadline = clock::time_point::max();
  tls_trouble trouble;
  // The receive time-out the socket has (negative: not known).
  std::chrono::milliseconds receive_wait{-1};
};

} // namespace vornex

#endif
