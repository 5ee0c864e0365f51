// Loopback servers that stand in for a check server in the unit tests: a
// cpp-httplib server for ordinary answers and a raw-socket server for bytes
// the library would never write. Both listen on 127.0.0.1, on a port the
// kernel picks, and every wait in them is bounded.
#ifndef VORNEX_TEST_SERVERS_H
#define VORNEX_TEST_SERVERS_H

#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
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
  virtual ~canned_check_server();
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

protected:
  // Answers on `server` (an HTTPS one, say), which it owns from then on.
  explicit canned_check_server(std::unique_ptr<httplib::Server> server);
  httplib::Server &server() { return *server_; }

private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  canned_reply reply_;
  std::function<void(const httplib::Request &)> hook_;
  int checks_ = 0;
  std::string last_body_;
};

// A listening loopback socket whose connections one thread serves, one at a
// time, with `serve(connection, stopping)` until the object goes; `serve`
// closes the connection and ends soon after `stopping` is set.
class serving_thread {
public:
  using server = std::function<void(int, const std::atomic<bool> &)>;
  explicit serving_thread(server serve);
  ~serving_thread();
  serving_thread(const serving_thread &) = delete;
  serving_thread &operator=(const serving_thread &) = delete;

  int port() const { return port_; }

private:
  int listener_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
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

  int port() const { return serving_.port(); }
  std::string address() const;
  // Raw bytes of every request read so far, one entry per connection.
  std::vector<std::string> requests() const;

private:
  void serve(int connection, const std::atomic<bool> &stopping);

  std::string reply_;
  raw_end end_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  serving_thread serving_; // last: its thread ends before the rest goes
};

// A one-thread server whose answer never ends: it reads a check, writes
// `head` and then `filler` again and again for as long as the client takes
// it (until the client goes, the server stops, 30 s pass or 256 MiB have
// gone). With `kept_first`, the first check on the first connection gets a
// short answer that leaves the connection open, and the second the endless
// one; every other connection gets the endless answer at once.
class endless_server {
public:
  endless_server(std::string head, std::string filler, bool kept_first = false);

  std::string address() const;
  // True once `count` endless answers have ended because the client went;
  // false if that has not happened within 30 s.
  bool abandoned(int count) const;

private:
  void serve(int connection, const std::atomic<bool> &stopping);

  std::string head_;
  std::string filler_;
  bool kept_first_;
  std::atomic<int> abandoned_{0};
  serving_thread serving_; // last: its thread ends before the rest goes
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
