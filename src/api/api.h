// Check-service client: one check request record, the call that sends it to
// a check server and the decoding of the verdict that comes back.
#ifndef VORNEX_API_H
#define VORNEX_API_H

#include <httplib.h>

#include "address.h"
#include "call_watch.h"
#include "check_stream.h"
#include "pool.h"
#include "tls_context.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vornex {

class api {
public:
  // The challenge headers of a verdict, by name in ascending byte order;
  // only Set-Cookie may hold several values, in the answer's order.
  using challenge_header_map = std::multimap<std::string, std::string>;

  // A record for the server at `server_name`, read by parse_server_address
  // (address.h): an address without a scheme as parse_server_name reads it,
  // or "https://host[:port]" and "http://host[:port]".
  explicit api(const std::string &server_name);

  // Splits "host", "host:port", "[v6]:port", "[v6]" or a bare IPv6 address
  // into host and port (80 when none is given). Throws std::invalid_argument
  // or std::out_of_range ("stoi") for a port text that does not convert.
  std::pair<std::string, int> parse_server_name(const std::string &text);
  // Re-targets the record, with or without a scheme as the constructor
  // reads it; on a parse error the record keeps its server.
  void set_server_name(const std::string &text);

  // The TLS settings of calls to https:// addresses; `context` must outlive
  // the record. Null (the default): the system's trust store, verified.
  void set_tls(const tls_context *context) { tls = context; }

  void set_remote_addr(const std::string &value);
  void set_remote_port(const std::string &value);
  void set_conn_addr(const std::string &value);
  void set_ssl_proto(const std::string &value);
  void set_ciphers(const std::string &value);
  void set_curves(const std::string &value);

  void add_data(const std::string &text);
  void add_data(const char *bytes, size_t length);
  // Grows the body buffer's capacity ahead of a body of known size.
  void reserve_data(size_t length);
  // Drops the bytes of the check body after the first `size`.
  void truncate_data(size_t size);
  // The check body goes on with the first `length` bytes of the file open
  // as `fd`, read when the check is sent; the file must stay open and
  // unchanged until then. Bytes added afterwards are not sent.
  void add_data_file(int fd, uint64_t length);

  void clear();

  // Bounds each call of execute: connecting, sending and the whole answer
  // together end within this time, and each single wait within the smaller
  // of it and 3 s. Zero (the default) means 9 s for the call.
  void set_time_limit(std::chrono::milliseconds limit);

  // Sends the checks of this record on connections kept in `pool`, which
  // must outlive the record; null (the default) makes a new connection for
  // each check and closes it after the answer.
  void set_pool(connection_pool *pool) { kept = pool; }
  // Has `watch`, which must outlive the record, end the calls that run past
  // their deadline; without it (the default) each call starts a thread of
  // its own for that.
  void set_watch(call_watch *watch) { deadlines = watch; }

  // The bytes held in memory; a file added with add_data_file follows them.
  const char *get_data();
  size_t get_data_size();
  const std::string &get_challenge_page();
  const challenge_header_map &get_challenge_headers();
  std::string get_mitigation_url();
  std::string get_reason();

  // XORs bytes with the repeated key; throws std::invalid_argument for an
  // empty key and leaves the bytes unchanged then.
  void encode_data(const std::string &key, std::vector<char> &bytes);

  // Posts the record to the check server and returns the mitigation code,
  // one of protocol::verdict (protocol.h). Throws std::runtime_error when no
  // verdict was given, also when the call runs out of time or the answer is
  // over its caps.
  int execute();

  // Why the last call of execute gave no verdict.
  enum class failure {
    none,       // it gave one
    connection, // the server could not be reached or would not take the check
    timeout,    // a wait or the whole call ran out of time
    answer,     // the answer was unreadable, unsafe or over a cap
    verdict,    // a readable answer whose status is no verdict
    local,      // the check body could not be read on this side
  };
  failure last_failure() const { return failed; }

  // Caps on an answer: a larger body, more header lines or a larger head
  // fail the call, as soon as the answer goes over them while it is read.
  static const size_t answer_body_cap = 4 * 1024 * 1024;
  static const size_t answer_header_cap = 1000;
  static const size_t answer_header_bytes_cap = 1024 * 1024;
  // What the HTTP library may hold of an answer while it reads it: the caps
  // above on the head, and on each single line the library's own bound on
  // a header line.
  static const answer_limits reading_limits;

  // Decodes one check response into the record and returns its code; throws
  // std::runtime_error for a status without a verdict. Reached by execute
  // and, without a network, by tests.
  int decode_response(int status, const httplib::Headers &response_headers,
                      const std::string &body);

  // The text of a client error as operators find it in the error log.
  static std::string error_text(httplib::Error error);

private:
  struct exchange;
  std::string host_header() const;
  void add_fact(const char *name, const std::string &value);
  // One request and its answer on `client`, bounded by the call's deadline.
  void send_once(check_client &client, exchange &state);

  httplib::Headers headers;
  std::vector<char> data;
  int data_fd = -1;
  uint64_t data_file_length = 0;
  challenge_header_map challenge_headers;
  std::string challenge_page;
  std::string server_host;
  int server_port = 80;
  bool server_tls = false;
  bool server_scheme = false; // the address named its scheme
  const tls_context *tls = nullptr;
  std::string mitigation;
  std::string reason;
  std::string mitigation_url;
  std::chrono::milliseconds time_limit{0};
  failure failed = failure::none;
  connection_pool *kept = nullptr;
  call_watch *deadlines = nullptr;
};

} // namespace vornex

#endif
