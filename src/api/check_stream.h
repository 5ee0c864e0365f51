// The socket stream the checks go through, and the client that uses it.
//
// The library's own socket stream waits before every send and every
// receive, reads at most 4 KiB at a time and sends the head and the body of
// a request in separate writes; it bounds nothing while it reads. This
// stream holds what the library writes until the answer is wanted, so that
// a check goes out in one send (a large one in few, each as large as the
// socket takes), waits only when a send or a receive would block, receives
// in large pieces, and hands every byte of the answer to an answer_meter
// before the library sees it.
#ifndef VORNEX_CHECK_STREAM_H
#define VORNEX_CHECK_STREAM_H

#include <httplib.h>

#include "answer_meter.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace vornex {

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

private:
  // The only places that touch the socket; a TLS stream would replace
  // them.
  bool wait_for(short events, std::chrono::milliseconds limit) const;
  bool server_closed() const;
  // Sends what is held and then `size` bytes at `more`, in as few sends as
  // the socket allows; false when they could not all be sent.
  bool send_all(const char *more, size_t size);
  // Fills the receive buffer; the bytes received, 0 at the end of the
  // connection, -1 on an error or a wait that ran out.
  ssize_t receive();

  const int sock;
  const std::chrono::milliseconds read_wait;
  const std::chrono::milliseconds write_wait;
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

// A client whose requests go through a check_stream that bounds each
// answer with `limits`.
class check_client : public httplib::ClientImpl {
public:
  check_client(const std::string &host, int port, const answer_limits &limits);

  // One request and its answer, as ClientImpl::send, with a new meter whose
  // head ends when the library has read the answer's head (before the
  // request's own response handler runs). Requests go through here.
  bool exchange(httplib::Request &request, httplib::Response &response,
                httplib::Error &error);
  // The meter of the answer of the last exchange.
  const answer_meter &meter() const { return answer; }
  // True when the last exchange could not send the whole request.
  bool send_failed() const { return unsent; }

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

  const answer_limits limits;
  answer_meter answer;
  // The socket was connected for this exchange; a kept one the library has
  // looked at just before it uses it.
  bool connected_now = false;
  bool unsent = false;
  // The receive time-out the socket has (negative: not known).
  std::chrono::milliseconds receive_wait{-1};
};

} // namespace vornex

#endif
