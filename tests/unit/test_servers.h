// Loopback servers that stand in for a check server in the unit tests: a
// cpp-httplib server for ordinary answers and a raw-socket server for bytes
// the library would never write. Both listen on 127.0.0.1, on a port the
// kernel picks, and every wait in them is bounded.
#ifndef VORNEX_TEST_SERVERS_H
#define VORNEX_TEST_SERVERS_H

#include <httplib.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vornex_test {

// What the check server answers.
struct canned_reply {
  int status = 200;
  httplib::Headers headers;
  std::string body;
};

// A cpp-httplib server answering POST /v2.1/check with a canned reply and
// counting the checks it receives.
class canned_check_server {
public:
  canned_check_server();
  ~canned_check_server();
  canned_check_server(const canned_check_server &) = delete;
  canned_check_server &operator=(const canned_check_server &) = delete;

  int port() const { return port_; }
  std::string address() const;
  void answer(canned_reply reply);
  // Runs `hook` on the server's thread for every check, before the reply is
  // written, while the caller's connection is still open.
  void on_check(std::function<void(const httplib::Request &)> hook);
  int checks() const;
  std::string last_body() const;

private:
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  canned_reply reply_;
  std::function<void(const httplib::Request &)> hook_;
  int checks_ = 0;
  std::string last_body_;
};

// How a raw_server ends a connection after writing its reply.
enum class raw_end {
  close, // orderly close
  reset, // close with a reset (SO_LINGER 0)
  hold,  // keep the connection open until the client goes or the server stops
};

// A one-thread server that reads each request in full, records its bytes,
// writes the scripted reply bytes and ends the connection as told.
class raw_server {
public:
  explicit raw_server(std::string reply, raw_end end = raw_end::close);
  ~raw_server();
  raw_server(const raw_server &) = delete;
  raw_server &operator=(const raw_server &) = delete;

  int port() const { return port_; }
  std::string address() const;
  // Raw bytes of every request read so far, one entry per connection.
  std::vector<std::string> requests() const;

private:
  void run();
  void serve(int connection);

  std::string reply_;
  raw_end end_;
  int listener_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A loopback port that is bound but not listening: connecting to it is
// refused, and no other process can take it while this object lives.
class closed_port {
public:
  closed_port();
  ~closed_port();
  closed_port(const closed_port &) = delete;
  closed_port &operator=(const closed_port &) = delete;

  std::string address() const;

private:
  int socket_ = -1;
  int port_ = -1;
};

// A request as it came off the wire.
struct wire_request {
  std::string request_line;
  std::vector<std::pair<std::string, std::string>> headers; // in wire order
  std::string body;

  std::vector<std::string> values(const std::string &name) const;
};

// Splits raw request bytes at the first empty line; header values lose the
// blanks after the colon.
wire_request split_request(const std::string &raw);

} // namespace vornex_test

#endif
