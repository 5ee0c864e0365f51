// vornex-bench-floor: the least a check can cost. Times N exchanges of a new
// connection, one POST of a typical check body to the check path, the answer
// and the close, made with the same client library and settings as the
// module's check call (its client, the stream it sends and reads through),
// and prints the median and the 99th percentile. With --keep-alive, every
// exchange goes on one connection kept open. With --tls-ca, over TLS to a
// server whose certificate that authority issued, verified as the module
// verifies it, under settings loaded once as the module loads them: a new
// connection costs the handshake.
//
//   vornex-bench-floor --server 127.0.0.1:8181 [--count N] [--warmup N]
//                      [--target /index.html] [--host 127.0.0.1:8080]
//                      [--keep-alive] [--tls-ca FILE]
#include "api.h"
#include "check_stream.h"
#include "tls_context.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "protocol.h"

namespace {

const char usage[] =
    "usage: vornex-bench-floor --server HOST:PORT [--count N] [--warmup N]\n"
    "                          [--target PATH] [--host HOST] [--keep-alive]\n"
    "                          [--tls-ca FILE]\n";

struct options {
  std::string host = "127.0.0.1";
  int port = 0;
  long count = 2000;
  long warmup = 100;
  std::string target = "/index.html";
  std::string site = "127.0.0.1";
  bool keep_alive = false;
  std::string tls_ca;
  std::unique_ptr<vornex::tls_context> tls;
};

bool parse_count(const char *text, long min, long &out) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > 10000000)
    return false;
  out = value;
  return true;
}

bool parse(int argc, char **argv, options &opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--keep-alive") {
      opts.keep_alive = true;
      continue;
    }
    if (i + 1 >= argc)
      return false;
    const char *value = argv[++i];
    if (flag == "--server") {
      const std::string text = value;
      const auto colon = text.rfind(':');
      if (colon == std::string::npos)
        return false;
      opts.host = text.substr(0, colon);
      long port = 0;
      if (!parse_count(text.c_str() + colon + 1, 1, port) || port > 65535)
        return false;
      opts.port = static_cast<int>(port);
    } else if (flag == "--count") {
      if (!parse_count(value, 1, opts.count))
        return false;
    } else if (flag == "--warmup") {
      if (!parse_count(value, 0, opts.warmup))
        return false;
    } else if (flag == "--target") {
      opts.target = value;
    } else if (flag == "--host") {
      opts.site = value;
    } else if (flag == "--tls-ca") {
      opts.tls_ca = value;
    } else {
      return false;
    }
  }
  return opts.port != 0;
}

// The answer's body, kept as the module keeps it.
class page final : public vornex::answer_sink {
public:
  bool head(const httplib::Response &) override { return true; }
  bool take(const char *bytes, size_t length) override {
    text.append(bytes, length);
    return true;
  }
  std::string text;
};

// One check exchange as the module makes it: 3-second time-outs, the body
// written from the caller's buffer with its length declared; on a client
// object of its own, or on the kept one.
bool exchange(vornex::check_client &client, const httplib::Headers &headers,
              const std::string &body) {
  client.set_connection_timeout(3, 0);
  client.set_read_timeout(3, 0);
  client.set_write_timeout(3, 0);
  page answer;
  vornex::check_post post;
  post.headers = &headers;
  post.content_type = "text/plain";
  post.body = body.data();
  post.body_size = body.size();
  post.sink = &answer;
  httplib::Response response;
  httplib::Error error = httplib::Error::Success;
  return client.post(post, response, error) && response.status == 200;
}

bool exchange(const options &opts, vornex::check_client *kept,
              const httplib::Headers &headers, const std::string &body) {
  if (kept)
    return exchange(*kept, headers, body);
  vornex::check_client client(opts.host, opts.port, vornex::api::reading_limits,
                              opts.tls.get());
  return exchange(client, headers, body);
}

double percentile(const std::vector<double> &sorted, double fraction) {
  const size_t rank = static_cast<size_t>(fraction * (sorted.size() - 1) + 0.5);
  return sorted[std::min(rank, sorted.size() - 1)];
}

} // namespace

int main(int argc, char **argv) {
  options opts;
  if (!parse(argc, argv, opts)) {
    std::fputs(usage, stderr);
    return 2;
  }
  // What the module sends for a plain GET from a load generator: the user
  // agent, the three connection facts and the request line with its headers.
  namespace protocol = vornex::protocol;
  const httplib::Headers headers = {{"User-Agent", protocol::user_agent},
                                    {protocol::fact::remote_addr, "127.0.0.1"},
                                    {protocol::fact::remote_port, "54321"},
                                    {protocol::fact::conn_addr, "127.0.0.1"}};
  const std::string body =
      "GET " + opts.target + " HTTP/1.1\r\nHost: " + opts.site + "\r\n";

  if (!opts.tls_ca.empty()) {
    vornex::tls_settings settings;
    settings.ca_file = opts.tls_ca;
    try {
      opts.tls.reset(new vornex::tls_context(settings));
    } catch (const std::exception &e) {
      std::fprintf(stderr, "vornex-bench-floor: %s\n", e.what());
      return 2;
    }
  }
  std::unique_ptr<vornex::check_client> kept;
  if (opts.keep_alive) {
    kept.reset(new vornex::check_client(
        opts.host, opts.port, vornex::api::reading_limits, opts.tls.get()));
    kept->set_keep_alive(true);
    kept->set_tcp_nodelay(true);
  }
  for (long i = 0; i < opts.warmup; ++i)
    if (!exchange(opts, kept.get(), headers, body)) {
      std::fprintf(stderr, "vornex-bench-floor: check failed\n");
      return 1;
    }

  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(opts.count));
  for (long i = 0; i < opts.count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = exchange(opts, kept.get(), headers, body);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
      std::fprintf(stderr, "vornex-bench-floor: check failed\n");
      return 1;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("count=%ld p50_us=%.1f p99_us=%.1f\n", opts.count,
              percentile(micros, 0.50), percentile(micros, 0.99));
  return 0;
}
