// The check server on a free loopback port, listening on a thread of its own
// for as long as the object lives, with its log lines kept.
#ifndef VORNEX_CHECK_SERVER_RUNNING_SERVER_H
#define VORNEX_CHECK_SERVER_RUNNING_SERVER_H

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service.h"

namespace vornex {
namespace check_server {

class running_server {
public:
  // With `faults`, checks go through them and the control path is served.
  explicit running_server(rule_set rules, size_t threads = 8,
                          fault_schedule *faults = nullptr)
      : service(std::move(rules)), server(threads), faults(faults) {
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
  ~running_server() {
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
  check_http_server server;
  fault_schedule *faults;
  std::thread listener;
  std::mutex mutex;
  std::vector<std::string> lines;
};

} // namespace check_server
} // namespace vornex

#endif
