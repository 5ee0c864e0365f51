// The stand-in check service: a check request goes in, the first rule that
// holds decides the answer, and one log line tells what happened.
#ifndef VORNEX_CHECK_SERVER_SERVICE_H
#define VORNEX_CHECK_SERVER_SERVICE_H

#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fault.h"
#include "protocol.h"
#include "rate.h"
#include "response.h"
#include "rules.h"

namespace vornex {
namespace check_server {

using protocol::check_path;

struct check_outcome {
  check_response response;
  // The screened request's client (protocol::fact::remote_addr), or "-".
  std::string client;
  // The request line of the check body, or "-" when there is none.
  std::string request_line;
  // The deciding rule's label, or "invalid" for a malformed check body.
  std::string rule;
  // The verdict keyword or status; "400" for a malformed check body.
  std::string verdict;
  // Why a check body was refused; empty otherwise.
  std::string error;
};

class check_service {
public:
  // Throws std::invalid_argument unless the last rule is a default rule.
  explicit check_service(rule_set rules);

  // Decides one check; `facts` are the headers of the check call.
  check_outcome check(const httplib::Headers &facts, const std::string &body,
                      rate_counter::clock::time_point now);

private:
  rule_set rules;
  std::vector<check_response> responses;
  // One counter for each rate rule, null for the others.
  std::vector<std::unique_ptr<rate_counter>> counters;
};

// One log line: client, request line in quotes, rule, verdict, time spent,
// and for a refused check body its reason in parentheses.
std::string log_line(const check_outcome &outcome,
                     std::chrono::microseconds spent);

using log_sink = std::function<void(const std::string &line)>;

// Makes `server` start `threads` threads and more when they are all busy
// (up to max_server_threads), keep a connection open for up to
// keep_alive_max_count checks, and not share its port.
constexpr size_t max_server_threads = 4096;
constexpr size_t keep_alive_max_count = 10000;
void tune(httplib::Server &server, size_t threads);

// An HTTP server (Base httplib::Server) or an HTTPS one (httplib::SSLServer)
// tuned so, whose listen queue is deep enough for bursts of new
// connections.
template <typename Base> class tuned_server : public Base {
public:
  static constexpr size_t max_threads = max_server_threads;

  // `args` go to Base's constructor: for an HTTPS server, the certificate,
  // its key and the file of the authorities a client certificate must
  // come from (null: none asked for).
  template <typename... Args>
  explicit tuned_server(size_t threads, Args &&...args)
      : Base(std::forward<Args>(args)...) {
    tune(*this, threads);
  }
  // Deepens the listen queue after bind_to_port or bind_to_any_port.
  void widen_listen_queue() { deepen_listen_queue(this->svr_sock_.load()); }

private:
  static void deepen_listen_queue(socket_t sock) {
    // The library listens with a queue of five; Linux lets a second
    // listen() on the bound socket change that.
    if (sock != INVALID_SOCKET)
      ::listen(sock, SOMAXCONN);
  }
};

using check_http_server = tuned_server<httplib::Server>;
using check_https_server = tuned_server<httplib::SSLServer>;

// Counts the TLS handshakes `server` completes, into `count` (which must
// outlive it).
void count_handshakes(httplib::SSLServer &server,
                      std::atomic<unsigned long> &count);

// Where a loopback client tells the server which fault to show.
inline constexpr char control_path[] = "/control/fault";
// Where a loopback client reads how many TLS handshakes the server has
// completed.
inline constexpr char handshakes_path[] = "/control/handshakes";

// Routes POST and GET of the check path to the service; each check gives one
// line to `log`. A GET (as nginx's auth_request sends it) is answered 200
// without rules. With `faults`, every check first goes through the fault in
// force, and POST of the control path (from loopback only) sets faults.
// Service, sink and schedule must outlive the server.
void install(httplib::Server &server, check_service &service, log_sink log,
             fault_schedule *faults = nullptr);

// Answers GET of the handshakes path (from loopback only) with the number
// in `handshakes` and a line feed.
void install_handshake_count(httplib::Server &server,
                             const std::atomic<unsigned long> &handshakes);

} // namespace check_server
} // namespace vornex

#endif
