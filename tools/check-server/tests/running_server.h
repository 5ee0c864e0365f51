// The check server on a free loopback port, listening on a thread of its own
// for as long as the object lives, with its log lines kept; over HTTP, or
// over TLS.
#ifndef VORNEX_CHECK_SERVER_RUNNING_SERVER_H
#define VORNEX_CHECK_SERVER_RUNNING_SERVER_H

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service.h"

namespace vornex {
namespace check_server {

template <typename Server> class basic_running_server {
public:
  // With `faults`, checks go through them and the control path is served.
  // `tls` go to an HTTPS server's constructor: certificate, key and client
  // authorities.
  template <typename... Tls>
  explicit basic_running_server(rule_set rules, size_t threads = 8,
                                fault_schedule *faults = nullptr, Tls &&...tls)
      : service(std::move(rules)), server(threads, std::forward<Tls>(tls)...),
        faults(faults) {
    install(
        server, service,
        [this](const std::string &line) {
          std::lock_guard<std::mutex> lock(mutex);
          lines.push_back(line);
        },
        faults);
    port = server.bind_to_any_port("127.0.0.1");
    server.widen_listen_queue();
    listener = std::thread([this] { server.listen_after_bind(); });
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server.is_running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~basic_running_server() {
    if (faults)
      faults->halt();
    server.stop();
    listener.join();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port); }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

  int port = 0;

private:
  check_service service;

public:
  Server server;

private:
  fault_schedule *faults;
  std::thread listener;
  std::mutex mutex;
  std::vector<std::string> lines;
};

using running_server = basic_running_server<check_http_server>;
using running_tls_server = basic_running_server<check_https_server>;

} // namespace check_server
} // namespace vornex

#endif
