// Check dispatch and failover. The record is built once: facts, request line
// and header lines, then the body (body.cpp). The primary server is asked
// first, the secondary once after a failure; the first verdict is enforced
// (enforce.cpp).
#include "dispatch.h"

#include <ap_mpm.h>
#include <apr_optional.h>
#include <apr_strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>

#include "api.h"
#include "body.h"
#include "check_body.h"
#include "enforce.h"
#include "marks.h"
#include "module.h"
#include "phase.h"
#include "status.h"

namespace vornex {
namespace module {

namespace {

// Bodies longer than this are parked in a temporary file unless
// VornexBodyInMemoryLimit says otherwise.
const apr_off_t default_body_in_memory_limit = 1024 * 1024;

typedef char *(*ssl_var_lookup_fn)(apr_pool_t *, server_rec *, conn_rec *,
                                   request_rec *, char *);
// mod_ssl's variable lookup, or null without mod_ssl; written while the
// configuration is read, only read while requests are served.
ssl_var_lookup_fn ssl_var_lookup = nullptr;
// This worker process's idle connections to check servers, and the watch
// that ends its check calls at their deadline; made when the process
// starts, so that nothing is shared with another process.
connection_pool *kept_connections = nullptr;
call_watch *call_deadlines = nullptr;

// ---- the check record ----------------------------------------------------

void set_facts(request_rec *r, api &record) {
  conn_rec *c = r->connection;
  record.set_remote_addr(or_empty(r->useragent_ip));
  char port[8];
  std::snprintf(port, sizeof port, "%u",
                c->client_addr ? static_cast<unsigned>(c->client_addr->port)
                               : 0u);
  record.set_remote_port(port);
  record.set_conn_addr(or_empty(c->client_ip));

  if (!ssl_var_lookup)
    return;
  char proto[] = "SSL_PROTOCOL";
  char ciphers[] = "SSL_CLIENT_CIPHERS";
  char curves[] = "SSL_CLIENT_CURVES";
  if (const char *v = ssl_var_lookup(r->pool, r->server, c, r, proto))
    record.set_ssl_proto(v);
  if (const char *v = ssl_var_lookup(r->pool, r->server, c, r, ciphers))
    record.set_ciphers(v);
  if (const char *v = ssl_var_lookup(r->pool, r->server, c, r, curves))
    record.set_curves(v);
}

// The counter of a failed attempt's kind, or -1 for one not counted.
int failure_counter(api::failure why) {
  switch (why) {
  case api::failure::connection:
    return static_cast<int>(failure_kind::connection);
  case api::failure::timeout:
    return static_cast<int>(failure_kind::timeout);
  case api::failure::answer:
    return static_cast<int>(failure_kind::answer);
  case api::failure::verdict:
    return static_cast<int>(failure_kind::verdict);
  default:
    return -1;
  }
}

// ---- the cap on checks in flight (VornexMaxChecks) -----------------------

// A process with threads caps its own checks in flight, as a share of its
// threads. A process without threads (prefork) serves one request at a time,
// so there the cap is taken over the whole server, as a share of its
// processes, with the count kept in shared memory.
bool server_wide_cap = false;
int cap_basis = 1; // threads per process, or processes of the server
std::atomic<apr_uint64_t> process_checks{0};

// Holds one place for a check in flight, if one is free under `cap` (0: no
// cap), until it goes out of scope. The server-wide gauge counts every
// check in flight either way.
class check_place {
public:
  explicit check_place(int cap)
      : gauge(shared_counters ? &shared_counters->in_flight : nullptr) {
    const apr_uint64_t server_before = gauge ? apr_atomic_add64(gauge, 1) : 0;
    const apr_uint64_t process_before = process_checks.fetch_add(1);
    const apr_uint64_t before =
        server_wide_cap ? server_before : process_before;
    held = cap <= 0 || before < static_cast<apr_uint64_t>(cap) ||
           (server_wide_cap && !gauge);
    if (!held)
      release();
  }
  ~check_place() {
    if (held)
      release();
  }
  check_place(const check_place &) = delete;
  check_place &operator=(const check_place &) = delete;
  bool free() const { return held; }

private:
  void release() {
    process_checks.fetch_sub(1);
    if (gauge)
      apr_atomic_dec64(gauge);
  }

  apr_uint64_t *const gauge;
  bool held = false;
};

// ---- one request's dispatch ----------------------------------------------

// While marks hold, every request would log that it found its servers
// marked: thousands of lines a second on a busy site, when the mark itself
// has been logged once. Each process says it at most once a second.
std::atomic<mark_time> marked_said{0};

bool say_marked() {
  const mark_time now = mark_clock();
  mark_time last = marked_said.load();
  if (last != 0 && now - last < 1000000)
    return false;
  return marked_said.compare_exchange_strong(last, now);
}

// One server as this request sees it: its address, its shared mark (with
// VornexRetry) and what the mark allows.
struct server_slot {
  const char *address = nullptr;
  server_mark *mark = nullptr;
  server_access access = server_access::ask;
  bool considered = false;
  bool probe_open = false; // this request holds the probe, not yet reported
};

class dispatch {
public:
  dispatch(request_rec *r, const dir_conf *conf, check_report &rep)
      : r(r), conf(conf), rep(rep),
        retry(conf->retry_seconds > 0 ? static_cast<int>(conf->retry_seconds)
                                      : 0) {
    servers[0].address = conf->primary_server;
    servers[1].address = conf->secondary_server;
    if (retry)
      for (server_slot &server : servers)
        server.mark = find_mark(shared_marks, server.address);
  }
  // A probe that never reported (an exception on the way) is given back, so
  // that the next request may probe at once.
  ~dispatch() {
    for (server_slot &server : servers)
      if (server.probe_open)
        apr_atomic_set64(&server.mark->probe, 0);
  }
  dispatch(const dispatch &) = delete;
  dispatch &operator=(const dispatch &) = delete;

  int run() {
    if (!may_ask(0) && !may_ask(1)) {
      if (say_marked())
        VORNEX_LOG(APLOG_ERR, r->server,
                   "Vornex API error: %s and %s marked as failed",
                   servers[0].address, servers[1].address);
      return no_verdict(outcome::unscreened);
    }
    if (!make_record())
      return no_verdict(outcome::unscreened);
    describe_request();
    check_place place(checks_cap(conf, cap_basis));
    if (!place.free()) {
      if (shared_counters)
        count(&shared_counters->over_cap);
      return no_verdict(outcome::busy);
    }
    return ask_servers();
  }

private:
  // Whether the mark of server `index` lets this request ask it; the first
  // request after a marked period becomes its probe.
  bool may_ask(int index) {
    server_slot &server = servers[index];
    if (!server.considered && server.mark) {
      server.access = consider(server.mark, mark_clock());
      server.probe_open = server.access == server_access::probe;
      if (server.probe_open)
        VORNEX_LOG(APLOG_WARNING, r->server, "Vornex server %s is asked again",
                   server.address);
    }
    server.considered = true;
    return server.access != server_access::pass_over;
  }

  // Tells the mark of server `index` how an attempt on it went: a server
  // that could not be reached or ran out of time is marked (once,
  // server-wide); any other outcome of a probe lifts the mark.
  void report_attempt(int index, api::failure why) {
    server_slot &server = servers[index];
    if (!server.mark)
      return;
    const bool probe = server.probe_open;
    server.probe_open = false;
    if (why == api::failure::connection || why == api::failure::timeout) {
      if (mark_failed(server.mark, mark_clock(),
                      static_cast<mark_time>(retry) * 1000000, probe))
        VORNEX_LOG(APLOG_WARNING, r->server,
                   "Vornex server %s failed, not asked again for %d seconds",
                   server.address, retry);
    } else if (probe) {
      probe_succeeded(server.mark);
    }
  }

  // Logs a failed attempt: a warning for the primary, the error line for the
  // secondary.
  void failed(int index, const char *message, api::failure why) {
    if (index == 0)
      VORNEX_LOG(APLOG_WARNING, r->server,
                 "Vornex API error: %s, will try with secondary server",
                 message);
    else
      VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", message);
    report_attempt(index, why);
    if (shared_counters) {
      const int kind = failure_counter(why);
      if (kind >= 0)
        count(&shared_counters->failed[kind]);
    }
  }

  // The record for the first server that may be asked; an address that
  // does not parse counts as a failed attempt on that server.
  bool make_record() {
    first = may_ask(0) ? 0 : 1;
    try {
      record.emplace(servers[first].address);
    } catch (const std::exception &e) {
      failed(first, e.what(), api::failure::none);
      if (first == 1 || !may_ask(1))
        return false;
      count_failover();
      first = 1;
      try {
        record.emplace(servers[1].address);
      } catch (const std::exception &e2) {
        failed(1, e2.what(), api::failure::none);
        return false;
      }
    }
    if (conf->timeout_ms > 0)
      record->set_time_limit(std::chrono::milliseconds(conf->timeout_ms));
    record->set_watch(call_deadlines);
    record->set_tls(conf->tls);
    if (conf->keep_alive == 1)
      record->set_pool(kept_connections);
    return true;
  }

  // Facts, request line, header lines and body. AP_FILTER_ERROR from the
  // body read means the server has already sent its own error response (413
  // over LimitRequestBody, 400 for broken chunking). The check is still made
  // with the bytes read, but nothing more may be written: whatever comes of
  // it, the server is told the request is done.
  void describe_request() {
    set_facts(r, *record);
    check_body::add_head(*record, r->the_request, sent_headers(r));
    const apr_off_t in_memory_limit = conf->body_in_memory_limit >= 0
                                          ? conf->body_in_memory_limit
                                          : default_body_in_memory_limit;
    answered = capture_body(r, *record, in_memory_limit, &rep.body_bytes) ==
               AP_FILTER_ERROR;
  }

  int ask_servers() {
    for (int index = first; index < 2; ++index) {
      if (index != first && !retarget(index))
        break;
      const apr_time_t start = apr_time_now();
      try {
        if (shared_counters)
          count(&shared_counters->body_bytes, rep.body_bytes);
        const int code = record->execute();
        rep.spent += apr_time_now() - start;
        report_attempt(index, api::failure::none);
        rep.result = outcome_of(code);
        rep.server = index;
        if (answered)
          return AP_FILTER_ERROR;
        return monitoring(conf) ? DECLINED : enforce(r, *record, code);
      } catch (const std::exception &e) {
        rep.spent += apr_time_now() - start;
        failed(index, e.what(), record->last_failure());
      }
    }
    return no_verdict(outcome::unscreened);
  }

  // Aims the record at the secondary server, unless it is marked or its
  // address does not parse.
  bool retarget(int index) {
    if (!may_ask(index)) {
      if (say_marked())
        VORNEX_LOG(APLOG_ERR, r->server,
                   "Vornex API error: %s marked as failed",
                   servers[index].address);
      return false;
    }
    count_failover();
    try {
      record->set_server_name(servers[index].address);
    } catch (const std::exception &e) {
      failed(index, e.what(), api::failure::none);
      return false;
    }
    return true;
  }

  void count_failover() {
    if (shared_counters)
      count(&shared_counters->failovers);
  }

  // No server gave a verdict (`why` unscreened), or the cap left no place
  // (`why` busy): the section's failure policy decides. Open serves the
  // request unscreened; closed answers it with the policy's status.
  // In monitor mode the outcome is what the policy would make of it, and
  // the request is served as open serves it.
  int no_verdict(outcome why) {
    if (answered)
      return AP_FILTER_ERROR;
    if (conf->failure_mode != 1) {
      rep.result = why;
      return DECLINED;
    }
    rep.result = outcome::refused;
    if (monitoring(conf))
      return DECLINED;
    apr_table_setn(r->err_headers_out, "Retry-After",
                   apr_psprintf(r->pool, "%d", retry ? retry : 10));
    return conf->failure_status ? conf->failure_status : default_failure_status;
  }

  request_rec *const r;
  const dir_conf *const conf;
  check_report &rep;
  const int retry;
  server_slot servers[2];
  std::optional<api> record;
  int first = 0;
  bool answered = false;
};

// Closes the process's kept connections and ends its watch when it ends:
// at a stop, or when a graceful restart retires it.
apr_status_t end_process(void *) {
  try {
    delete kept_connections;
    delete call_deadlines;
  } catch (...) {
  }
  kept_connections = nullptr;
  call_deadlines = nullptr;
  return APR_SUCCESS;
}

} // namespace

int check_request(request_rec *r, const dir_conf *conf, check_report &rep) {
  return dispatch(r, conf, rep).run();
}

void find_ssl_lookup() {
  ssl_var_lookup = reinterpret_cast<ssl_var_lookup_fn>(
      apr_dynamic_fn_retrieve("ssl_var_lookup"));
}

// Each worker process keeps at most as many idle connections per check
// server as it has threads to use them.
void start_process(apr_pool_t *pchild, server_rec *s) {
  int threads = 1;
  if (ap_mpm_query(AP_MPMQ_MAX_THREADS, &threads) != APR_SUCCESS || threads < 1)
    threads = 1;
  int threaded = AP_MPMQ_NOT_SUPPORTED;
  ap_mpm_query(AP_MPMQ_IS_THREADED, &threaded);
  server_wide_cap = threaded == AP_MPMQ_NOT_SUPPORTED;
  cap_basis = threads;
  int processes = 1;
  if (server_wide_cap &&
      ap_mpm_query(AP_MPMQ_MAX_DAEMONS, &processes) == APR_SUCCESS &&
      processes > 0)
    cap_basis = processes;
  try {
    kept_connections = new connection_pool(static_cast<size_t>(threads));
    call_deadlines = new call_watch();
  } catch (const std::exception &e) {
    // Checks still work: on a new connection each, with a thread each to
    // end them at their deadline.
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex keeps no connections in this process: %s", e.what());
  }
  apr_pool_cleanup_register(pchild, nullptr, end_process,
                            apr_pool_cleanup_null);
}

} // namespace module
} // namespace vornex
