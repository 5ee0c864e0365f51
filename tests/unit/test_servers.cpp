#include "test_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace vornex_test {

namespace {

using clock_type = std::chrono::steady_clock;

// Longest a raw_server waits for a request, and keeps a held connection.
// Both run out only when a client is stuck: a request that comes whole, a
// client that goes and the server's destructor all end the wait at once, so
// they are far beyond what a busy machine needs.
const auto request_limit = std::chrono::seconds(30);
const auto hold_limit = std::chrono::seconds(30);
const int poll_step_ms = 50;

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

int bound_loopback_socket(int *port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

std::string lower(std::string text) {
  for (auto &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Size of the request whose head is complete in `bytes`, or 0 while the
// head is still incomplete.
size_t expected_size(const std::string &bytes) {
  const auto end = bytes.find("\r\n\r\n");
  if (end == std::string::npos)
    return 0;
  size_t body = 0;
  const std::string head = lower(bytes.substr(0, end + 2));
  const auto at = head.find("\r\ncontent-length:");
  if (at != std::string::npos)
    body = std::strtoul(head.c_str() + at + 17, nullptr, 10);
  return end + 4 + body;
}

int listening_socket(int *port) {
  const int fd = bound_loopback_socket(port);
  if (::listen(fd, 8) != 0) {
    ::close(fd);
    throw std::runtime_error("listen failed");
  }
  return fd;
}

// Reads from `connection` until `bytes` holds a whole request (or the
// client goes, the server stops or the request limit passes); false unless
// it does. The request is taken off the front of `bytes` into `request`.
bool read_request(int connection, const std::atomic<bool> &stopping,
                  std::string &bytes, std::string &request) {
  const auto deadline = clock_type::now() + request_limit;
  char buffer[4096];
  for (;;) {
    const size_t want = expected_size(bytes);
    if (want != 0 && bytes.size() >= want) {
      request = bytes.substr(0, want);
      bytes.erase(0, want);
      return true;
    }
    if (stopping || clock_type::now() >= deadline)
      break;
    if (!readable(connection, poll_step_ms))
      continue;
    const ssize_t got = ::recv(connection, buffer, sizeof(buffer), 0);
    if (got <= 0)
      break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  request = bytes;
  return false;
}

// Writes all of `bytes`; false when the client has gone or the server
// stops first.
bool send_bytes(int connection, const std::atomic<bool> &stopping,
                const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (stopping)
      return false;
    pollfd p{connection, POLLOUT, 0};
    if (::poll(&p, 1, poll_step_ms) <= 0)
      continue;
    const ssize_t put =
        ::send(connection, bytes.data() + sent, bytes.size() - sent,
               MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      continue;
    if (put <= 0)
      return false;
    sent += static_cast<size_t>(put);
  }
  return true;
}

} // namespace

// ---- canned_check_server
// ---------------------------------------------------------

canned_check_server::canned_check_server()
    : canned_check_server(std::make_unique<httplib::Server>()) {}

canned_check_server::canned_check_server(
    std::unique_ptr<httplib::Server> server)
    : server_(std::move(server)) {
  server_->Post("/v2.1/check", [this](const httplib::Request &request,
                                      httplib::Response &response) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hook_)
      hook_(request);
    ++checks_;
    last_body_ = request.body;
    response.status = reply_.status;
    for (const auto &header : reply_.headers)
      response.headers.emplace(header.first, header.second);
    response.body = reply_.body;
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0)
    throw std::runtime_error("canned_check_server: bind failed");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  const auto deadline = clock_type::now() + std::chrono::seconds(30);
  while (!server_->is_running() && clock_type::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

canned_check_server::~canned_check_server() {
  server_->stop();
  thread_.join();
}

std::string canned_check_server::address() const { return loopback(port_); }

void canned_check_server::answer(canned_reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = std::move(reply);
}

void canned_check_server::on_check(
    std::function<void(const httplib::Request &)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

int canned_check_server::checks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return checks_;
}

std::string canned_check_server::last_body() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_body_;
}

// ---- serving_thread -------------------------------------------------------

serving_thread::serving_thread(server serve) {
  listener_ = listening_socket(&port_);
  thread_ = std::thread([this, serve] {
    while (!stopping_) {
      if (!readable(listener_, poll_step_ms))
        continue;
      const int connection =
          ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0)
        serve(connection, stopping_);
    }
  });
}

serving_thread::~serving_thread() {
  stopping_ = true;
  thread_.join();
  ::close(listener_);
}

// ---- raw_server -----------------------------------------------------------

raw_server::raw_server(std::string reply, raw_end end)
    : reply_(std::move(reply)), end_(end),
      serving_([this](int c, const std::atomic<bool> &stopping) {
        serve(c, stopping);
      }) {}

std::string raw_server::address() const { return loopback(port()); }

std::vector<std::string> raw_server::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void raw_server::serve(int connection, const std::atomic<bool> &stopping) {
  std::string bytes;
  std::string request;
  read_request(connection, stopping, bytes, request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  send_bytes(connection, stopping, reply_);

  if (end_ == raw_end::reset) {
    linger hard{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  } else if (end_ == raw_end::hold) {
    const auto hold_deadline = clock_type::now() + hold_limit;
    char buffer[4096];
    while (!stopping && clock_type::now() < hold_deadline) {
      if (readable(connection, poll_step_ms) &&
          ::recv(connection, buffer, sizeof(buffer), 0) <= 0)
        break;
    }
  }
  ::close(connection);
}

// ---- endless_server -------------------------------------------------------

endless_server::endless_server(std::string head, std::string filler,
                               bool kept_first)
    : head_(std::move(head)), filler_(std::move(filler)),
      kept_first_(kept_first),
      serving_([this](int c, const std::atomic<bool> &stopping) {
        serve(c, stopping);
      }) {}

std::string endless_server::address() const {
  return loopback(serving_.port());
}

bool endless_server::abandoned(int count) const {
  const auto deadline = clock_type::now() + std::chrono::seconds(30);
  while (abandoned_ < count && clock_type::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_step_ms));
  return abandoned_ >= count;
}

void endless_server::serve(int connection, const std::atomic<bool> &stopping) {
  const size_t endless_limit = size_t{256} << 20;
  const bool kept_first = kept_first_;
  kept_first_ = false;
  std::string bytes;
  std::string request;
  const bool answered =
      !kept_first ||
      (read_request(connection, stopping, bytes, request) &&
       send_bytes(connection, stopping,
                  "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  if (answered && read_request(connection, stopping, bytes, request) &&
      send_bytes(connection, stopping, head_)) {
    const auto deadline = clock_type::now() + hold_limit;
    size_t sent = 0;
    while (sent < endless_limit && clock_type::now() < deadline &&
           send_bytes(connection, stopping, filler_))
      sent += filler_.size();
    if (!stopping && sent < endless_limit && clock_type::now() < deadline)
      ++abandoned_;
  }
  ::close(connection);
}

// ---- closed_port ----------------------------------------------------------

closed_port::closed_port() { socket_ = bound_loopback_socket(&port_); }

closed_port::~closed_port() { ::close(socket_); }

std::string closed_port::address() const { return loopback(port_); }

// ---- wire_request ---------------------------------------------------------

std::vector<std::string> wire_request::values(const std::string &name) const {
  std::vector<std::string> found;
  for (const auto &header : headers)
    if (lower(header.first) == lower(name))
      found.push_back(header.second);
  return found;
}

wire_request split_request(const std::string &raw) {
  wire_request request;
  const auto head_end = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, head_end);
  if (head_end != std::string::npos)
    request.body = raw.substr(head_end + 4);
  size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    auto end = head.find("\r\n", start);
    if (end == std::string::npos)
      end = head.size();
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    if (first) {
      request.request_line = line;
      first = false;
      continue;
    }
    const auto colon = line.find(':');
    std::string value =
        colon == std::string::npos ? std::string() : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t") == std::string::npos
                       ? value.size()
                       : value.find_first_not_of(" \t"));
    request.headers.emplace_back(line.substr(0, colon), value);
  }
  return request;
}

} // namespace vornex_test
