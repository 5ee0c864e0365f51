#include "service.h"

#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vornex {
namespace check_server {

namespace {

const size_t logged_line_limit = 2048;

std::string fact(const httplib::Headers &facts, const char *name) {
  auto found = facts.find(name);
  return found == facts.end() ? std::string() : found->second;
}

// Keeps the log one line per check whatever bytes a request line holds.
std::string printable(const std::string &text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    if (out.size() >= logged_line_limit) {
      out += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}

void apply(const check_response &response, httplib::Response &res) {
  res.status = response.status;
  for (const auto &header : response.headers)
    res.set_header(header.first.c_str(), header.second);
  if (!response.body.empty())
    res.set_content(response.body, response.content_type.c_str());
}

} // namespace

check_service::check_service(rule_set given) : rules(std::move(given)) {
  if (rules.empty() || !rules.back().is_default)
    throw std::invalid_argument("the rules do not end with a default rule");
  for (const auto &r : rules) {
    responses.push_back(build_response(r));
    if (r.rate)
      counters.push_back(std::make_unique<rate_counter>(
          r.rate->limit, std::chrono::seconds(r.rate->window_seconds)));
    else
      counters.push_back(nullptr);
  }
}

check_outcome check_service::check(const httplib::Headers &facts,
                                   const std::string &body,
                                   rate_counter::clock::time_point now) {
  check_outcome outcome;
  const std::string client = fact(facts, protocol::fact::remote_addr);
  outcome.client = client.empty() ? "-" : client;

  check_request request;
  if (!parse_check_body(body, request, outcome.error)) {
    outcome.response = bad_request(outcome.error);
    outcome.request_line =
        request.request_line.empty() ? std::string("-") : request.request_line;
    outcome.rule = "invalid";
    outcome.verdict = "400";
    return outcome;
  }
  outcome.request_line = request.request_line;

  for (size_t i = 0; i < rules.size(); ++i) {
    const rule &r = rules[i];
    if (!matches(r, request, facts))
      continue;
    if (counters[i] && !counters[i]->over(client, now))
      continue;
    outcome.response = responses[i];
    outcome.rule = r.label();
    outcome.verdict = verdict_name(r);
    return outcome;
  }
  // The default rule has no matchers and no rate, so it always holds.
  throw std::logic_error("no rule decided the check");
}

std::string log_line(const check_outcome &outcome,
                     std::chrono::microseconds spent) {
  std::string line = printable(outcome.client);
  line += " \"";
  line += printable(outcome.request_line);
  line += "\" ";
  line += outcome.rule;
  line += ' ';
  line += outcome.verdict;
  line += ' ';
  line += std::to_string(spent.count());
  line += "us";
  if (!outcome.error.empty()) {
    line += " (";
    line += outcome.error;
    line += ')';
  }
  return line;
}

namespace {

// Threads for the server's connections: `spare` start at once, and one more
// starts whenever a connection comes while every thread is busy, up to
// `most`. A kept-alive connection holds its thread while it is idle, so a
// fixed number of threads would leave new connections queued behind idle
// ones; this way the server needs no sizing for the clients' pools.
class growing_pool : public httplib::TaskQueue {
public:
  growing_pool(size_t spare, size_t most) : most(most) {
    std::lock_guard<std::mutex> lock(mutex);
    while (threads.size() < spare)
      start();
  }
  ~growing_pool() override = default;

  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      jobs.push_back(std::move(job));
      if (idle < jobs.size() && threads.size() < most) {
        try {
          start();
        } catch (const std::system_error &) {
          // The job waits for a thread that is already running.
        }
      }
    }
    ready.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    ready.notify_all();
    for (auto &thread : threads)
      thread.join();
  }

private:
  // Called with the lock held.
  void start() {
    threads.emplace_back([this] { work(); });
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      ++idle;
      ready.wait(lock, [this] { return stopping || !jobs.empty(); });
      --idle;
      if (jobs.empty())
        return;
      auto job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  const size_t most;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> jobs;
  std::vector<std::thread> threads;
  size_t idle = 0;
  bool stopping = false;
};

} // namespace

void tune(httplib::Server &server, size_t threads) {
  server.new_task_queue = [threads] {
    return new growing_pool(threads, std::max(threads, max_server_threads));
  };
  // A client with kept connections sends many checks on each.
  server.set_keep_alive_max_count(keep_alive_max_count);
  // An answer written in two pieces must not wait for the client's delayed
  // ACK on a kept connection.
  server.set_tcp_nodelay(true);
  // The library's default adds SO_REUSEPORT, with which a second server on
  // a taken port would start and quietly share its checks; only
  // SO_REUSEADDR is kept, for a quick restart.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

namespace {

void on_tls_info(const SSL *ssl, int where, int) {
  if (!(where & SSL_CB_HANDSHAKE_DONE))
    return;
  auto *count = static_cast<std::atomic<unsigned long> *>(
      SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (count)
    ++*count;
}

} // namespace

void count_handshakes(httplib::SSLServer &server,
                      std::atomic<unsigned long> &count) {
  SSL_CTX *context = server.ssl_context();
  SSL_CTX_set_app_data(context, &count);
  SSL_CTX_set_info_callback(context, on_tls_info);
}

void install_handshake_count(httplib::Server &server,
                             const std::atomic<unsigned long> &handshakes) {
  server.Get(handshakes_path, [&handshakes](const httplib::Request &req,
                                            httplib::Response &res) {
    if (!is_loopback(req.remote_addr)) {
      res.status = 403;
      res.set_content("counts are read from loopback only\n", "text/plain");
      return;
    }
    res.set_content(std::to_string(handshakes.load()) + "\n", "text/plain");
  });
}

namespace {

std::chrono::microseconds since(rate_counter::clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(
      rate_counter::clock::now() - start);
}

// Puts a check through the fault in force; false when the fault kept it from
// an answer, which is then logged with rule "fault" and the mode.
bool survives_fault(fault_schedule *faults, const httplib::Request &req,
                    httplib::Response &res, const log_sink &log,
                    rate_counter::clock::time_point start) {
  const fault_outcome fate =
      faults ? apply_fault(*faults, req) : fault_outcome::answer;
  if (fate == fault_outcome::answer || fate == fault_outcome::delayed)
    return true;
  // The connection is closed or reset, so this goes nowhere; should its
  // socket not have been found, the client still gets no verdict.
  res.status = 500;
  check_outcome outcome;
  const std::string client = fact(req.headers, protocol::fact::remote_addr);
  outcome.client = client.empty() ? "-" : client;
  check_request request;
  std::string error;
  parse_check_body(req.body, request, error);
  outcome.request_line =
      request.request_line.empty() ? std::string("-") : request.request_line;
  outcome.rule = "fault";
  outcome.verdict =
      mode_name(fate == fault_outcome::silenced ? fault_mode::silent
                                                : fault_mode::refuse);
  log(log_line(outcome, since(start)));
  return false;
}

// POST of the control path: "MODE:START:SECONDS[:DELAY_MS]" adds a fault
// starting START seconds from now; "answer" drops every fault.
void control(fault_schedule &faults, const httplib::Request &req,
             httplib::Response &res) {
  if (!is_loopback(req.remote_addr)) {
    res.status = 403;
    res.set_content("faults are set from loopback only\n", "text/plain");
    return;
  }
  std::string text = req.body;
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text == mode_name(fault_mode::answer)) {
    faults.clear();
    res.set_content("answer\n", "text/plain");
    return;
  }
  fault f;
  std::string error;
  if (!parse_fault(text, f, error)) {
    res.status = 400;
    res.set_content("'" + text + "': " + error + "\n", "text/plain");
    return;
  }
  faults.add(f, fault_schedule::clock::now());
  res.set_content(describe(f) + "\n", "text/plain");
}

} // namespace

void install(httplib::Server &server, check_service &service, log_sink log,
             fault_schedule *faults) {
  server.Post(check_path, [&service, log, faults](const httplib::Request &req,
                                                  httplib::Response &res) {
    const auto start = rate_counter::clock::now();
    if (!survives_fault(faults, req, res, log, start))
      return;
    const check_outcome outcome = service.check(req.headers, req.body, start);
    apply(outcome.response, res);
    log(log_line(outcome, since(start)));
  });
  server.Get(check_path, [log, faults](const httplib::Request &req,
                                       httplib::Response &res) {
    const auto start = rate_counter::clock::now();
    if (!survives_fault(faults, req, res, log, start))
      return;
    res.status = 200;
    check_outcome outcome;
    const std::string client = fact(req.headers, protocol::fact::remote_addr);
    outcome.client = client.empty() ? "-" : client;
    outcome.request_line = "-";
    outcome.rule = "get";
    outcome.verdict = protocol::keyword_of(protocol::pass);
    log(log_line(outcome, since(start)));
  });
  if (faults)
    server.Post(control_path,
                [faults](const httplib::Request &req, httplib::Response &res) {
                  control(*faults, req, res);
                });
}

} // namespace check_server
} // namespace vornex
