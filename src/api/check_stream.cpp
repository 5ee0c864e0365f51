#include "check_stream.h"

#include "tls_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace vornex {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int send_flags = MSG_NOSIGNAL | MSG_DONTWAIT;

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The address and port of a socket's end, as text and number.
void address_of(int sock, bool peer, std::string &ip, int &port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto *where = reinterpret_cast<sockaddr *>(&address);
  if ((peer ? getpeername(sock, where, &length)
            : getsockname(sock, where, &length)) != 0)
    return;
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

} // namespace

check_stream::check_stream(int sock, milliseconds read_wait,
                           milliseconds write_wait, answer_meter &meter,
                           bool look_first)
    : sock(sock), read_wait(read_wait), write_wait(write_wait), meter(meter),
      look_before_send(look_first) {}

bool wait_on_socket(int sock, short events, milliseconds limit) {
  const auto until = clock::now() + limit;
  auto timeout = limit.count();
  for (;;) {
    pollfd one{sock, events, 0};
    const int ready = poll(&one, 1, static_cast<int>(timeout));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR)
      return false;
    // A signal cut the wait short: the rest of it.
    timeout = std::max<decltype(timeout)>(
        0,
        std::chrono::duration_cast<milliseconds>(until - clock::now()).count());
  }
}

bool check_stream::wait_for(short events, milliseconds limit) const {
  return wait_on_socket(sock, events, limit);
}

check_stream::arrival check_stream::look() const {
  pollfd one{sock, POLLIN, 0};
  const int ready = poll(&one, 1, 0);
  if (ready > 0)
    return arrival::something;
  return ready < 0 && errno == EBADF ? arrival::gone : arrival::nothing;
}

// As the library looks before each send: a connection whose server has
// closed it reads as readable with nothing to read.
bool check_stream::server_closed() const {
  const arrival arrived = look();
  if (arrived != arrival::something)
    return arrived == arrival::gone;
  char byte;
  ssize_t got;
  do
    got = recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  return got == 0 || (got < 0 && !would_block(errno));
}

bool check_stream::send_all(const char *more, size_t size) {
  if (look_before_send && server_closed())
    return false;
  look_before_send = true;
  if (!send_pieces(hold_buffer.data(), held, more, size))
    return false;
  held = 0;
  return true;
}

bool check_stream::send_pieces(const char *first, size_t first_size,
                               const char *second, size_t second_size) {
  iovec pieces[2] = {{const_cast<char *>(first), first_size},
                     {const_cast<char *>(second), second_size}};
  msghdr message{};
  message.msg_iov = first_size ? pieces : pieces + 1;
  message.msg_iovlen = (first_size ? 1 : 0) + (second_size ? 1 : 0);
  size_t left = first_size + second_size;
  while (left > 0) {
    const ssize_t sent = sendmsg(sock, &message, send_flags);
    if (sent < 0) {
      if (errno == EINTR)
        continue;
      if (would_block(errno) && wait_for(POLLOUT, write_wait))
        continue;
      return false;
    }
    left -= static_cast<size_t>(sent);
    size_t done = static_cast<size_t>(sent);
    while (done > 0 && done >= message.msg_iov->iov_len) {
      done -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (done > 0) {
      message.msg_iov->iov_base =
          static_cast<char *>(message.msg_iov->iov_base) + done;
      message.msg_iov->iov_len -= done;
    }
  }
  return true;
}

ssize_t check_stream::write(const char *ptr, size_t size) {
  if (broken)
    return -1;
  if (held + size <= hold_buffer.size()) {
    std::memcpy(hold_buffer.data() + held, ptr, size);
    held += size;
    return static_cast<ssize_t>(size);
  }
  if (!send_all(ptr, size)) {
    broken = unsent = true;
    return -1;
  }
  return static_cast<ssize_t>(size);
}

ssize_t check_stream::receive_some(char *buffer, size_t size) {
  ssize_t got;
  do
    got = recv(sock, buffer, size, MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  return got < 0 && would_block(errno) ? nothing_yet : got;
}

ssize_t check_stream::receive() {
  for (;;) {
    if (!more_waiting && !holds_received() && !wait_for(POLLIN, read_wait))
      return -1;
    const ssize_t got =
        receive_some(receive_buffer.data(), receive_buffer.size());
    if (got == nothing_yet) {
      more_waiting = false;
      continue;
    }
    more_waiting = got == static_cast<ssize_t>(receive_buffer.size());
    return got;
  }
}

ssize_t check_stream::read(char *ptr, size_t size) {
  if (broken)
    return -1;
  if (handed == received) {
    // The request is complete once the library wants its answer.
    if (held > 0 && !send_all(nullptr, 0)) {
      broken = unsent = true;
      return -1;
    }
    const ssize_t got = receive();
    if (got <= 0)
      return got;
    received = static_cast<size_t>(got);
    handed = 0;
  }
  const size_t length = std::min(size, received - handed);
  if (!meter.count(receive_buffer.data() + handed, length, size)) {
    broken = true;
    return -1;
  }
  std::memcpy(ptr, receive_buffer.data() + handed, length);
  handed += length;
  return static_cast<ssize_t>(length);
}

bool check_stream::is_readable() const {
  return !broken &&
         (handed < received || holds_received() || wait_for(POLLIN, read_wait));
}

// Sending waits only when the socket does not take the bytes at once.
bool check_stream::is_writable() const { return !broken; }

void check_stream::get_remote_ip_and_port(std::string &ip, int &port) const {
  address_of(sock, true, ip, port);
}

void check_stream::get_local_ip_and_port(std::string &ip, int &port) const {
  address_of(sock, false, ip, port);
}

check_client::check_client(const std::string &host, int port,
                           const answer_limits &limits, const tls_context *tls)
    : httplib::ClientImpl(host, port), limits(limits), answer(limits),
      settings(tls) {}

check_client::~check_client() { end_session(true); }

bool check_client::exchange(httplib::Request &request,
                            httplib::Response &response,
                            httplib::Error &error) {
  answer = answer_meter(limits);
  unsent = false;
  trouble = tls_trouble();
  const httplib::ResponseHandler handler = std::move(request.response_handler);
  request.response_handler = [this, &handler](const httplib::Response &head) {
    answer.end_head();
    return !handler || handler(head);
  };
  const bool done = send(request, response, error);
  request.response_handler = handler;
  return done;
}

bool check_client::create_and_connect_socket(Socket &socket,
                                             httplib::Error &error) {
  connected_now = httplib::ClientImpl::create_and_connect_socket(socket, error);
  return connected_now;
}

void check_client::end_session(bool gracefully) {
  tls_end(session, gracefully);
  session = nullptr;
  session_socket = -1;
}

void check_client::shutdown_ssl(Socket &socket, bool gracefully) {
  end_session(gracefully);
  httplib::ClientImpl::shutdown_ssl(socket, gracefully);
}

bool check_client::process_socket(
    const Socket &socket, std::function<bool(httplib::Stream &)> callback) {
  const milliseconds read_wait(read_timeout_sec_ * 1000 +
                               read_timeout_usec_ / 1000);
  const milliseconds write_wait(write_timeout_sec_ * 1000 +
                                write_timeout_usec_ / 1000);
  const bool connected = connected_now;
  connected_now = false;
  if (!settings) {
    check_stream stream(socket.sock, read_wait, write_wait, answer, connected);
    const bool done = callback(stream);
    unsent = stream.send_failed();
    return done;
  }

  // The handshake runs here, not while connecting: the library holds the
  // lock that stopping the client takes while it connects, and the call's
  // watch must be able to end a handshake that stalls.
  if (session && session_socket != socket.sock)
    end_session(false);
  if (!session) {
    const milliseconds wait(connection_timeout_sec_ * 1000 +
                            connection_timeout_usec_ / 1000);
    handshake_result shaken =
        tls_handshake(*settings, socket.sock, host_, wait, deadline);
    if (!shaken.session) {
      trouble.reason = std::move(shaken.failure);
      trouble.handshake = true;
      trouble.timed_out = shaken.timed_out;
      return false;
    }
    session = shaken.session;
    session_socket = socket.sock;
  }
  // No look before the first send: a connection that has just shaken hands
  // needs none, and on a kept one the library has looked. Its look takes
  // the server's close_notify for an answer to come; the check then finds
  // the connection closed while it waits for the answer, and goes once
  // more on a new one, as after any close the look missed.
  tls_stream stream(socket.sock, session, read_wait, write_wait, answer, false);
  const bool done = callback(stream);
  // The library may have ended the session meanwhile (an answer that
  // closes the connection); only the stream's own state is read here.
  unsent = stream.send_failed();
  trouble.reason = stream.failure();
  return done;
}

} // namespace vornex
