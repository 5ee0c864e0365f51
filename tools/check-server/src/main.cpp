// vornex-check-server: a stand-in check service for mod_vornex.
#include <pthread.h>
#include <signal.h>

#include <openssl/err.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <type_traits>

#include "options.h"
#include "rules.h"
#include "service.h"

using namespace vornex::check_server;

namespace {
// Never runs while the signals are blocked; it only keeps them from being
// ignored.
void on_stop_signal(int) {}

// Serves checks on `server` until SIGINT or SIGTERM; `transport` says how,
// for the start-up line.
template <typename Server>
int serve(Server &server, const options &opts, check_service &service,
          size_t rule_count, const char *transport) {
  // A client that goes away must not end the process; SIGINT and SIGTERM are
  // taken by one thread, which stops the server. A shell starts background
  // jobs with SIGINT ignored, and an ignored signal never reaches sigwait, so
  // both get a handler first.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, on_stop_signal);
  signal(SIGTERM, on_stop_signal);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::mutex out_mutex;
  fault_schedule faults;
  std::atomic<unsigned long> handshakes(0);
  install(
      server, service,
      [&out_mutex](const std::string &line) {
        std::lock_guard<std::mutex> lock(out_mutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
      },
      &faults);
  if constexpr (std::is_base_of_v<httplib::SSLServer, Server>)
    count_handshakes(server, handshakes);
  install_handshake_count(server, handshakes);

  int port = opts.port;
  bool bound = false;
  if (opts.port == 0) {
    port = server.bind_to_any_port(opts.host);
    bound = port > 0;
  } else {
    bound = server.bind_to_port(opts.host, opts.port);
  }
  if (!bound) {
    std::fprintf(stderr, "vornex-check-server: cannot listen on %s:%d\n",
                 opts.host.c_str(), opts.port);
    return 1;
  }
  server.widen_listen_queue();

  std::atomic<bool> listening_done(false);
  std::thread stopper([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // The signal may come before the accept loop runs; stop() only acts on
    // a running server.
    for (int i = 0; i < 5000 && !listening_done && !server.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Checks held by a fault let go of their threads, which stop() joins.
    faults.halt();
    server.stop();
  });

  std::fprintf(stderr,
               "vornex-check-server: listening on %s:%d%s, %zu rules, %zu "
               "threads\n",
               opts.host.c_str(), port, transport, rule_count, opts.threads);
  const auto listening = fault_schedule::clock::now();
  for (const fault &f : opts.faults) {
    faults.add(f, listening);
    std::fprintf(stderr, "vornex-check-server: fault %s\n",
                 describe(f).c_str());
  }
  const bool ok = server.listen_after_bind();
  listening_done = true;
  // Wakes the stopper when the loop ended by itself.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  options opts;
  std::string error;
  if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), opts,
                     error)) {
    std::fprintf(stderr, "vornex-check-server: %s\n%s", error.c_str(), usage);
    return 2;
  }
  if (opts.help) {
    std::fputs(usage, stdout);
    return 0;
  }

  rule_set rules;
  try {
    rules = opts.rules_path.empty() ? pass_all_rules()
                                    : load_rules(opts.rules_path);
  } catch (const rules_error &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const size_t rule_count = rules.size();
  check_service service(std::move(rules));

  if (opts.tls_cert.empty()) {
    check_http_server server(opts.threads);
    return serve(server, opts, service, rule_count, "");
  }
  check_https_server server(
      opts.threads, opts.tls_cert.c_str(), opts.tls_key.c_str(),
      opts.client_ca.empty() ? nullptr : opts.client_ca.c_str());
  if (!server.is_valid()) {
    const unsigned long code = ERR_peek_last_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    std::fprintf(stderr,
                 "vornex-check-server: cannot use --tls-cert %s, --tls-key "
                 "%s%s%s: %s\n",
                 opts.tls_cert.c_str(), opts.tls_key.c_str(),
                 opts.client_ca.empty() ? "" : " and --client-ca ",
                 opts.client_ca.c_str(), reason ? reason : "unknown reason");
    return 1;
  }
  return serve(server, opts, service, rule_count,
               opts.client_ca.empty() ? " over TLS"
                                      : " over TLS, client certificates "
                                        "required");
}
