#include "api.h"

#include "check_stream.h"
#include "field_name.h"
#include "protocol.h"
#include "quiet_thread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <cerrno>
#include <unistd.h>

namespace vornex {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
// Longest single wait (connecting, or one wait to write or read), and the
// bound on a whole call when no time limit is set: the three waits together.
const milliseconds wait_limit{3000};
const milliseconds default_call_limit{9000};
const char timed_out_text[] = "Connection timed out";
const char too_large_text[] = "Answer body too large";
const char too_many_headers_text[] = "Answer has too many header lines";
const char head_too_large_text[] = "Answer headers too large";
const char body_file_text[] = "Failed to read the spooled body";
const char handshake_failed_text[] = "TLS handshake failed: ";
const char session_failed_text[] = "TLS connection failed: ";

// Error texts in the wording operators search for in the error log; the
// library's own names for them are terse.
struct error_name {
  httplib::Error error;
  const char *text;
};
const error_name error_names[] = {
    {httplib::Error::Connection, "Could not establish connection"},
    {httplib::Error::BindIPAddress, "Failed to bind IP address"},
    {httplib::Error::Read, "Failed to read connection"},
    {httplib::Error::Write, "Failed to write connection"},
    {httplib::Error::ExceedRedirectCount, "Maximum redirect count exceeded"},
    {httplib::Error::Canceled, "Connection handling canceled"},
    {httplib::Error::SSLConnection, "SSL connection failed"},
    {httplib::Error::SSLLoadingCerts, "SSL certificate loading failed"},
    {httplib::Error::SSLServerVerification, "SSL server verification failed"},
    {httplib::Error::UnsupportedMultipartBoundaryChars,
     "Unsupported HTTP multipart boundary characters"},
    {httplib::Error::Compression, "Compression failed"},
    {httplib::Error::ConnectionTimeout, "Connection timed out"},
};

bool unsafe_value(const std::string &value) {
  return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Ends the exchange of one call at its deadline: for waits that no callback
// of the library sees (the answer's head, a blocked send), it stops the
// client, which shuts the socket down so that the blocked wait returns. The
// thread lives only as long as the call.
class watchdog {
public:
  watchdog(httplib::ClientImpl &client, clock::time_point deadline) {
    try {
      thread = start_quiet_thread(
          [this, &client, deadline] { run(client, deadline); });
    } catch (const std::system_error &) {
      // Without a thread the callbacks and the per-wait time-outs still
      // bound the call, only less tightly.
    }
  }
  ~watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    wake.notify_one();
    if (thread.joinable())
      thread.join();
  }
  watchdog(const watchdog &) = delete;
  watchdog &operator=(const watchdog &) = delete;

  bool fired() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopped;
  }

private:
  void run(httplib::ClientImpl &client, clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_until(lock, deadline, [this] { return done; })) {
      stopped = true;
      lock.unlock();
      // Waits for a connection attempt in progress, then shuts the socket
      // down; repeated in case the call was between two steps.
      client.stop();
      lock.lock();
      deadline = clock::now() + milliseconds(10);
    }
  }

  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  bool stopped = false;
  std::thread thread;
};

} // namespace

// The head may have four lines besides its header lines (the status line and
// the empty line, and those of an interim 100 answer), so that an answer
// refused for its lines while it is read is one that the cap on header lines
// would refuse once complete; a line may be as long as the library takes a
// header line to be.
const answer_limits api::reading_limits = {answer_header_cap + 4,
                                           answer_header_bytes_cap,
                                           CPPHTTPLIB_HEADER_MAX_LENGTH};

api::api(const std::string &server_name) {
  set_server_name(server_name);
  headers.emplace("User-Agent", protocol::user_agent);
  data.reserve(8192);
}

std::pair<std::string, int> api::parse_server_name(const std::string &text) {
  return split_server_name(text);
}

void api::set_server_name(const std::string &text) {
  server_address server = parse_server_address(text);
  server_host = std::move(server.host);
  server_port = server.port;
  server_tls = server.tls;
  server_scheme = server.scheme;
}

// The facts are set in the order of their names, after the user agent: a
// hint at the end of the map saves the search (a fact out of that order
// still goes where the map puts it).
void api::add_fact(const char *name, const std::string &value) {
  headers.emplace_hint(headers.end(), name, value);
}

void api::set_remote_addr(const std::string &value) {
  add_fact(protocol::fact::remote_addr, value);
}
void api::set_remote_port(const std::string &value) {
  add_fact(protocol::fact::remote_port, value);
}
void api::set_conn_addr(const std::string &value) {
  add_fact(protocol::fact::conn_addr, value);
}
void api::set_ssl_proto(const std::string &value) {
  add_fact(protocol::fact::ssl_proto, value);
}
void api::set_ciphers(const std::string &value) {
  add_fact(protocol::fact::ssl_cipher, value);
}
void api::set_curves(const std::string &value) {
  add_fact(protocol::fact::ssl_curves, value);
}

void api::add_data(const std::string &text) {
  data.insert(data.end(), text.begin(), text.end());
}

void api::add_data(const char *bytes, size_t length) {
  if (length == 0)
    return;
  data.insert(data.end(), bytes, bytes + length);
}

void api::reserve_data(size_t length) {
  if (length > data.capacity())
    data.reserve(length);
}

void api::truncate_data(size_t size) {
  if (size < data.size())
    data.resize(size);
}

void api::add_data_file(int fd, uint64_t length) {
  data_fd = fd;
  data_file_length = length;
}

void api::set_time_limit(std::chrono::milliseconds limit) {
  time_limit = limit.count() > 0 ? limit : milliseconds(0);
}

void api::clear() {
  headers.clear();
  headers.emplace("User-Agent", protocol::user_agent);
  data.clear();
  data_fd = -1;
  data_file_length = 0;
  challenge_headers.clear();
  challenge_page.clear();
}

const char *api::get_data() { return data.data(); }
size_t api::get_data_size() { return data.size(); }
const std::string &api::get_challenge_page() { return challenge_page; }
const api::challenge_header_map &api::get_challenge_headers() {
  return challenge_headers;
}
std::string api::get_mitigation_url() { return mitigation_url; }
std::string api::get_reason() { return reason; }

void api::encode_data(const std::string &key, std::vector<char> &bytes) {
  if (key.empty())
    throw std::invalid_argument("encode_data: empty key");
  const size_t key_length = key.size();
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(bytes[i] ^ key[i % key_length]);
}

std::string api::error_text(httplib::Error error) {
  for (const auto &name : error_names)
    if (name.error == error)
      return name.text;
  return "Unknown";
}

int api::decode_response(int status, const httplib::Headers &response_headers,
                         const std::string &body) {
  // A value with a line break or NUL would be copied into the client's
  // response headers; such an answer is no usable response at all.
  for (const auto &header : response_headers)
    if (unsafe_value(header.second)) {
      failed = failure::answer;
      throw std::runtime_error(error_text(httplib::Error::Read));
    }
  failed = failure::none;

  challenge_headers.clear();
  const std::string *keyword = nullptr;
  for (const auto &header : response_headers) {
    const std::string &name = header.first;
    if (name.compare(0, protocol::prefix_length, protocol::prefix) != 0)
      continue;
    std::string rest = name.substr(protocol::prefix_length);
    if (rest == protocol::answer::mitigation) {
      mitigation = header.second;
      keyword = &header.second;
    } else if (rest == protocol::answer::reason) {
      reason = header.second;
    } else if (rest == protocol::answer::location) {
      mitigation_url = header.second;
    } else {
      // A name keeps the last value the answer gives it, but every
      // Set-Cookie sets a cookie of its own.
      if (!field_name::set_cookie(rest))
        challenge_headers.erase(rest);
      challenge_headers.emplace(std::move(rest), header.second);
    }
  }
  challenge_page = body;

  // Only this response's keyword decides; an older one kept in `mitigation`
  // is not a verdict of this server.
  if (keyword)
    for (const auto &entry : protocol::verdicts)
      if (entry.in_answer && *keyword == entry.keyword)
        return entry.code;
  if (status == protocol::pass_status)
    return protocol::pass;
  if (status == protocol::block_status)
    return protocol::block;
  failed = failure::verdict;
  throw std::runtime_error(body);
}

// What one request and its answer on one connection came to.
struct api::exchange {
  clock::time_point start;
  clock::time_point deadline;
  milliseconds wait;
  bool sent = false;
  httplib::Error error = httplib::Error::Success;
  httplib::Response response;
  std::string answer;
  bool answer_seen = false;
  bool too_many_headers = false;
  bool head_too_large = false;
  bool too_large = false;
  bool write_failed = false;
  bool file_failed = false;
  bool late = false;
  bool stopped = false;

  bool out_of_time() const { return clock::now() >= deadline; }
};

// The Host header of an address given with its scheme: the library would
// write the port unless it is 80, and put an IPv6 address in brackets only
// when it writes the port.
std::string api::host_header() const {
  std::string host = server_host.find(':') == std::string::npos
                         ? server_host
                         : "[" + server_host + "]";
  if (server_port != (server_tls ? 443 : 80))
    host += ":" + std::to_string(server_port);
  return host;
}

namespace {

// The answer's body into the exchange's page, within the cap and the
// deadline; the head's header lines within theirs.
class page_sink final : public answer_sink {
public:
  page_sink(std::string &page, bool &seen, bool &too_many, bool &too_large,
            bool &late, clock::time_point deadline)
      : page(page), seen(seen), too_many(too_many), too_large(too_large),
        late(late), deadline(deadline) {}

  bool head(const httplib::Response &response) override {
    seen = true;
    too_many = response.headers.size() > api::answer_header_cap;
    return !too_many;
  }

  bool take(const char *bytes, size_t length) override {
    if (length > api::answer_body_cap - page.size()) {
      too_large = true;
      return false;
    }
    // Past 64 KiB the page gets room for the whole cap at once, of which
    // only what is written is ever touched; a string's own doubling would
    // hold the page twice while it copies it, and reach 7.5 MiB on the way
    // to 4.
    if (length > page.capacity() - page.size() &&
        page.size() + length > 64 * 1024)
      page.reserve(size_t{api::answer_body_cap});
    page.append(bytes, length);
    if (clock::now() >= deadline) {
      late = true;
      return false;
    }
    return true;
  }

private:
  std::string &page;
  bool &seen;
  bool &too_many;
  bool &too_large;
  bool &late;
  const clock::time_point deadline;
};

} // namespace

void api::send_once(check_client &client, exchange &state) {
  client.set_deadline(state.deadline);
  client.set_connection_timeout(state.wait);
  client.set_read_timeout(state.wait);
  client.set_write_timeout(state.wait);
  client.set_keep_alive(kept != nullptr);
  // A large check goes out in several writes; on a kept connection, past the
  // quick acknowledgements of a new one, Nagle's algorithm would hold its
  // last piece until the server's delayed ACK (40 ms).
  client.set_tcp_nodelay(kept != nullptr);

  // An address given with its scheme names the Host itself; otherwise the
  // client writes the library's.
  std::string host;
  if (server_scheme)
    host = host_header();
  page_sink sink(state.answer, state.answer_seen, state.too_many_headers,
                 state.too_large, state.late, state.deadline);
  check_post post;
  post.headers = &headers;
  post.host = server_scheme ? &host : nullptr;
  post.content_type = "text/plain";
  post.body = data.data();
  post.body_size = data.size();
  post.file_fd = data_fd;
  post.file_length = data_file_length;
  post.deadline = state.deadline;
  post.sink = &sink;

  // The process's watch ends the call at its deadline; without one, or when
  // it cannot, a thread of the call's own.
  const unsigned long watched =
      deadlines ? deadlines->watch(client, state.deadline) : 0;
  if (watched) {
    struct unwatch_guard {
      call_watch &watch;
      unsigned long number;
      ~unwatch_guard() {
        if (number)
          watch.unwatch(number);
      }
      bool end() {
        const bool fired = watch.unwatch(number);
        number = 0;
        return fired;
      }
    } guard{*deadlines, watched};
    state.sent = client.post(post, state.response, state.error);
    state.stopped = guard.end();
  } else {
    watchdog guard(client, state.deadline);
    state.sent = client.post(post, state.response, state.error);
    state.stopped = guard.fired();
  }
  state.late = state.late || post.late;
  state.file_failed = post.file_failed;
  state.write_failed = post.write_failed;
  switch (client.over()) {
  case answer_meter::excess::head_lines:
    state.too_many_headers = true;
    break;
  case answer_meter::excess::head_bytes:
    state.head_too_large = true;
    break;
  default:
    // A line over the bound fails as the library fails a header line that
    // is too long: a read error.
    break;
  }
  // What the stream held back goes out when the answer is wanted; a failure
  // then is a failure to send the check.
  if (client.send_failed())
    state.write_failed = true;
}

int api::execute() {
  exchange state;
  const milliseconds limit =
      time_limit.count() > 0 ? time_limit : default_call_limit;
  state.wait = std::min(limit, wait_limit);
  state.start = clock::now();
  state.deadline = state.start + limit;

  const tls_context *context = nullptr;
  if (server_tls) {
    try {
      context = tls ? tls : &tls_context::system_default();
    } catch (const std::exception &) {
      failed = failure::local;
      throw;
    }
  }
  connection_pool::connection client;
  if (kept)
    client = kept->take(server_host, server_port, context ? context->id() : 0);
  bool reused = client != nullptr;
  for (;;) {
    if (!client)
      client.reset(
          new check_client(server_host, server_port, reading_limits, context));
    send_once(*client, state);
    // A kept connection that the server closed while it was idle fails
    // before any answer comes: the check goes once more on a new one.
    const bool closed_while_idle =
        reused && !state.sent && !state.answer_seen && !state.late &&
        !state.stopped && !state.file_failed && !state.too_many_headers &&
        !state.head_too_large &&
        (state.write_failed || state.error == httplib::Error::Read ||
         state.error == httplib::Error::Write) &&
        clock::now() - state.start < state.wait && !state.out_of_time();
    if (!closed_while_idle)
      break;
    const auto start = state.start;
    const auto deadline = state.deadline;
    const auto wait = state.wait;
    state = exchange();
    state.start = start;
    state.deadline = deadline;
    state.wait = wait;
    client.reset();
    reused = false;
  }

  if (!state.sent) {
    // A wait that ran out shows as a read or write error in the library.
    const bool waited_out = clock::now() - state.start >= state.wait;
    if (state.too_many_headers || state.head_too_large || state.too_large) {
      failed = failure::answer;
      throw std::runtime_error(state.too_many_headers ? too_many_headers_text
                               : state.head_too_large ? head_too_large_text
                                                      : too_large_text);
    }
    if (state.file_failed) {
      failed = failure::local;
      throw std::runtime_error(body_file_text);
    }
    if (state.late || state.stopped || state.out_of_time()) {
      failed = failure::timeout;
      throw std::runtime_error(timed_out_text);
    }
    // A failed handshake is a connection that could not be made; an alert
    // or a broken record afterwards, the server refusing the check (or its
    // answer, once that has begun).
    const check_client::tls_trouble &trouble = client->tls_failure();
    if (trouble.timed_out) {
      failed = failure::timeout;
      throw std::runtime_error(timed_out_text);
    }
    if (!trouble.reason.empty()) {
      failed = state.answer_seen ? failure::answer : failure::connection;
      throw std::runtime_error(
          (trouble.handshake ? handshake_failed_text : session_failed_text) +
          trouble.reason);
    }
    // The library reports a provider that stopped as a cancellation; here it
    // only stops when the socket would not take the body.
    httplib::Error error = state.error;
    if (state.write_failed)
      error = httplib::Error::Write;
    switch (error) {
    case httplib::Error::ConnectionTimeout:
      failed = failure::timeout;
      break;
    case httplib::Error::Read:
      failed = waited_out ? failure::timeout : failure::answer;
      break;
    case httplib::Error::Write:
      failed = waited_out ? failure::timeout : failure::connection;
      break;
    default:
      failed = failure::connection;
      break;
    }
    throw std::runtime_error(error_text(error));
  }
  const int code = decode_response(state.response.status,
                                   state.response.headers, state.answer);
  // Only a connection whose exchange ended in a verdict, and that the
  // library left open (no "Connection: close" in the answer), is kept.
  if (kept && !state.stopped && client->is_socket_open())
    kept->give(server_host, server_port, std::move(client));
  return code;
}

} // namespace vornex
