#include "check_stream.h"

#include "protocol.h"
#include "tls_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vornex {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int send_flags = MSG_NOSIGNAL | MSG_DONTWAIT;
// Size of the pieces a body is written in, so that the deadline is looked
// at between them.
const size_t write_piece = 64 * 1024;
// A post reads the answer through its own reader, which bounds the head;
// the stream's meter is then left without bounds.
const answer_limits unbounded = {SIZE_MAX, SIZE_MAX, SIZE_MAX};

// The stream as the reader's source of bytes.
class stream_source final : public answer_source {
public:
  explicit stream_source(check_stream &stream) : stream(stream) {}
  ssize_t read(char *buffer, size_t size) override {
    return stream.read(buffer, size);
  }

private:
  check_stream &stream;
};

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

milliseconds left_until(clock::time_point until) {
  return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(
                                       until - clock::now()));
}

// Sets the socket's receive or send time-out (SO_RCVTIMEO, SO_SNDTIMEO);
// zero would mean no time-out at all and is refused.
bool set_time_out(int sock, int option, milliseconds wait) {
  if (wait.count() <= 0)
    return false;
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(wait.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((wait.count() % 1000) * 1000);
  return setsockopt(sock, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

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
                           bool look_first, bool receive_waits)
    : sock(sock), read_wait(read_wait), write_wait(write_wait), meter(meter),
      look_before_send(look_first), receive_waits(receive_waits) {}

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

ssize_t check_stream::receive_waiting(char *buffer, size_t size) {
  const ssize_t got = recv(sock, buffer, size, 0);
  if (got < 0 && errno == EINTR)
    return interrupted;
  return got < 0 && would_block(errno) ? nothing_yet : got;
}

ssize_t check_stream::receive() {
  const clock::time_point until = clock::now() + read_wait;
  bool wait_in_receive = receive_waits;
  for (;;) {
    if (!more_waiting && !wait_in_receive && !holds_received() &&
        !wait_for(POLLIN, left_until(until)))
      return -1;
    const bool waits = wait_in_receive && !more_waiting;
    const ssize_t got =
        waits ? receive_waiting(receive_buffer.data(), receive_buffer.size())
              : receive_some(receive_buffer.data(), receive_buffer.size());
    if (got == interrupted) {
      // A signal cut the receive's own wait short: the rest of it in poll.
      wait_in_receive = false;
      continue;
    }
    if (got == nothing_yet) {
      // A receive that waited by itself ran out of time.
      if (waits)
        return -1;
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

answer_meter::excess check_client::over() const {
  return post_over != answer_meter::excess::none ? post_over : answer.over();
}

bool check_client::post(check_post &request, httplib::Response &response,
                        httplib::Error &error) {
  answer = answer_meter(unbounded);
  unsent = false;
  trouble = tls_trouble();
  post_over = answer_meter::excess::none;
  posting = &request;
  posting_error = &error;
  posting_response = &response;
  // The library's send opens, reuses and closes the connection around the
  // exchange, which process_socket makes with the post instead of the
  // library's request.
  httplib::Request unused;
  const bool done = send(unused, response, error);
  posting = nullptr;
  posting_error = nullptr;
  posting_response = nullptr;
  return done;
}

bool check_client::post_on(check_stream &stream) {
  check_post &request = *posting;
  httplib::Error &error = *posting_error;
  head.clear();
  write_request_head(head, protocol::check_path, *request.headers,
                     request.host  ? *request.host
                     : port_ == 80 ? host_
                                   : host_and_port_,
                     request.content_type, keep_alive_,
                     request.body_size + request.file_length);
  if (stream.write(head.data(), head.size()) < 0) {
    request.write_failed = true;
    error = httplib::Error::Write;
    return false;
  }
  uint64_t offset = 0;
  const uint64_t total = request.body_size + request.file_length;
  std::vector<char> piece;
  while (offset < total) {
    if (std::chrono::steady_clock::now() >= request.deadline) {
      request.late = true;
      error = httplib::Error::Canceled;
      return false;
    }
    const size_t size =
        static_cast<size_t>(std::min<uint64_t>(total - offset, write_piece));
    const char *bytes;
    size_t length;
    if (offset < request.body_size) {
      bytes = request.body + offset;
      length = std::min(size, request.body_size - static_cast<size_t>(offset));
    } else {
      piece.resize(size);
      ssize_t got;
      do
        got = pread(request.file_fd, piece.data(), size,
                    static_cast<off_t>(offset - request.body_size));
      while (got < 0 && errno == EINTR);
      if (got <= 0) {
        request.file_failed = true;
        error = httplib::Error::Canceled;
        return false;
      }
      bytes = piece.data();
      length = static_cast<size_t>(got);
    }
    if (stream.write(bytes, length) < 0) {
      request.write_failed = true;
      error = httplib::Error::Write;
      return false;
    }
    offset += length;
  }

  answer_reader reader(limits);
  stream_source source(stream);
  const answer_reader::outcome read =
      reader.read(source, *posting_response, *request.sink);
  post_over = reader.over();
  if (read != answer_reader::outcome::done) {
    error = read == answer_reader::outcome::canceled ? httplib::Error::Canceled
                                                     : httplib::Error::Read;
    return false;
  }
  if (reader.closes()) {
    std::lock_guard<std::mutex> guard(socket_mutex_);
    socket_should_be_closed_when_request_is_done_ = true;
  }
  return true;
}

bool check_client::exchange(httplib::Request &request,
                            httplib::Response &response,
                            httplib::Error &error) {
  answer = answer_meter(limits);
  unsent = false;
  trouble = tls_trouble();
  // A cap that an earlier post went over is not this exchange's.
  post_over = answer_meter::excess::none;
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
  // Settings a check client never makes are left to the library.
  const bool plain = proxy_host_.empty() && interface_.empty() &&
                     !socket_options_ && addr_map_.empty();
  connected_now =
      plain ? connect_socket(socket, error)
            : httplib::ClientImpl::create_and_connect_socket(socket, error);
  // The library, as connect_socket, gives the socket the read time-out.
  receive_wait =
      connected_now
          ? milliseconds(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000)
          : milliseconds(-1);
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

bool check_client::connect_socket(Socket &socket, httplib::Error &error) {
  const milliseconds connect_wait(connection_timeout_sec_ * 1000 +
                                  connection_timeout_usec_ / 1000);
  const milliseconds read_wait(read_timeout_sec_ * 1000 +
                               read_timeout_usec_ / 1000);
  // An address given as such needs no look-up: one candidate, as the
  // resolver would give it.
  sockaddr_storage literal{};
  addrinfo only{};
  only.ai_socktype = SOCK_STREAM;
  only.ai_addr = reinterpret_cast<sockaddr *>(&literal);
  auto *v4 = reinterpret_cast<sockaddr_in *>(&literal);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(&literal);
  addrinfo *found = nullptr;
  addrinfo *candidates = nullptr;
  error = httplib::Error::Connection;
  if (address_family_ != AF_INET6 &&
      inet_pton(AF_INET, host_.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port_));
    only.ai_family = AF_INET;
    only.ai_protocol = IPPROTO_TCP;
    only.ai_addrlen = sizeof *v4;
    candidates = &only;
  } else if (address_family_ != AF_INET &&
             inet_pton(AF_INET6, host_.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port_));
    only.ai_family = AF_INET6;
    only.ai_protocol = IPPROTO_TCP;
    only.ai_addrlen = sizeof *v6;
    candidates = &only;
  } else {
    addrinfo hints{};
    hints.ai_family = address_family_;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port_);
    if (getaddrinfo(host_.c_str(), service.c_str(), &hints, &found) != 0)
      return false;
    candidates = found;
  }
  for (const addrinfo *at = candidates; at; at = at->ai_next) {
    error = httplib::Error::Connection;
    const int sock = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC,
                              at->ai_protocol);
    if (sock < 0)
      continue;
    const int on = 1;
    bool ready = set_time_out(sock, SO_SNDTIMEO, connect_wait) &&
                 set_time_out(sock, SO_RCVTIMEO, read_wait) &&
                 (!tcp_nodelay_ || setsockopt(sock, IPPROTO_TCP, TCP_NODELAY,
                                              &on, sizeof on) == 0);
    if (ready) {
      const clock::time_point until = clock::now() + connect_wait;
      if (::connect(sock, at->ai_addr, at->ai_addrlen) == 0) {
        error = httplib::Error::Success;
      } else if (errno == EINPROGRESS) {
        // The send time-out ran out.
        error = httplib::Error::ConnectionTimeout;
      } else if (errno == EINTR) {
        // A signal cut the wait short; the connection goes on being made.
        pollfd one{sock, POLLOUT, 0};
        int code = 0;
        socklen_t length = sizeof code;
        if (poll(&one, 1, static_cast<int>(left_until(until).count())) <= 0)
          error = httplib::Error::ConnectionTimeout;
        else if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &code, &length) == 0 &&
                 code == 0)
          error = httplib::Error::Success;
      }
    }
    if (error == httplib::Error::Success) {
      if (found)
        freeaddrinfo(found);
      socket.sock = sock;
      return true;
    }
    ::close(sock);
  }
  if (found)
    freeaddrinfo(found);
  return false;
}

bool check_client::set_receive_wait(int sock, milliseconds read_wait) {
  if (read_wait == receive_wait)
    return true;
  receive_wait = milliseconds(-1);
  if (!set_time_out(sock, SO_RCVTIMEO, read_wait))
    return false;
  receive_wait = read_wait;
  return true;
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
    check_stream stream(socket.sock, read_wait, write_wait, answer, connected,
                        set_receive_wait(socket.sock, read_wait));
    const bool done = posting ? post_on(stream) : callback(stream);
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
  const bool done = posting ? post_on(stream) : callback(stream);
  // The library may have ended the session meanwhile (an answer that
  // closes the connection); only the stream's own state is read here.
  unsent = stream.send_failed();
  trouble.reason = stream.failure();
  return done;
}

} // namespace vornex
