// Check dispatch and failover. The record is built once: facts, request line
// and header lines, then the body (body.cpp). The primary server is asked
// first, the secondary once after a failure; the first verdict is enforced
// (enforce.cpp).
#include "dispatch.h"

#include <ap_mpm.h>
#include <apr_optional.h>
#include <apr_strings.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "api.h"
#include "body.h"
#include "check_body.h"
#include "enforce.h"
#include "module.h"
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

// ---- servers marked as failed (VornexRetry) ---------------------------

// Per worker process: the check servers that failed to connect or ran out
// of time, and until when they are not asked. Shared by the process's
// threads; a process forked later starts with what its parent held, and the
// parent serves no request, so that is nothing.
std::mutex marked_mutex;
std::map<std::string, std::chrono::steady_clock::time_point> marked_until;

// True while `server` is marked; the first request after the period ends
// unmarks it and logs that it is asked again.
bool is_marked(request_rec *r, const char *server) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(marked_mutex);
    const auto found = marked_until.find(server);
    if (found == marked_until.end())
      return false;
    if (now < found->second)
      return true;
    marked_until.erase(found);
  }
  VORNEX_LOG(APLOG_WARNING, r->server, "Vornex server %s is asked again",
             server);
  return false;
}

void mark_failed(request_rec *r, const char *server, int seconds) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  {
    std::lock_guard<std::mutex> lock(marked_mutex);
    // Another thread may have marked it while this attempt ran.
    if (!marked_until.emplace(server, until).second)
      return;
  }
  VORNEX_LOG(APLOG_WARNING, r->server,
             "Vornex server %s failed, not asked again for %d seconds", server,
             seconds);
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

// ---- one request's dispatch ----------------------------------------------

class dispatch {
public:
  dispatch(request_rec *r, const dir_conf *conf, check_report &rep)
      : r(r), conf(conf),
        rep(rep), servers{conf->primary_server, conf->secondary_server},
        retry(conf->retry_seconds > 0 ? static_cast<int>(conf->retry_seconds)
                                      : 0),
        skipped{retry && is_marked(r, servers[0]),
                retry && is_marked(r, servers[1])} {}

  int run() {
    if (skipped[0] && skipped[1]) {
      VORNEX_LOG(APLOG_ERR, r->server,
                 "Vornex API error: %s and %s marked as failed", servers[0],
                 servers[1]);
      return DECLINED;
    }
    if (!make_record())
      return DECLINED;
    describe_request();
    return ask_servers();
  }

private:
  // Logs a failed attempt: a warning for the primary, the error line for the
  // secondary; a server that could not be reached or ran out of time is
  // marked.
  void failed(int index, const char *message, api::failure why) {
    if (index == 0)
      VORNEX_LOG(APLOG_WARNING, r->server,
                 "Vornex API error: %s, will try with secondary server",
                 message);
    else
      VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", message);
    if (retry &&
        (why == api::failure::connection || why == api::failure::timeout))
      mark_failed(r, servers[index], retry);
    if (shared_counters) {
      const int kind = failure_counter(why);
      if (kind >= 0)
        count(&shared_counters->failed[kind]);
      if (index == 0 && !skipped[1])
        count(&shared_counters->failovers);
    }
  }

  // The record for the first server that is not marked; an address that
  // does not parse counts as a failed attempt on that server.
  bool make_record() {
    first = skipped[0] ? 1 : 0;
    try {
      record.emplace(servers[first]);
    } catch (const std::exception &e) {
      failed(first, e.what(), api::failure::none);
      if (first == 1 || skipped[1])
        return false;
      first = 1;
      try {
        record.emplace(servers[1]);
      } catch (const std::exception &e2) {
        failed(1, e2.what(), api::failure::none);
        return false;
      }
    }
    if (conf->timeout_ms > 0)
      record->set_time_limit(std::chrono::milliseconds(conf->timeout_ms));
    record->set_watch(call_deadlines);
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
    check_body::add_head(*record, r->the_request, r->headers_in);
    const apr_off_t in_memory_limit = conf->body_in_memory_limit >= 0
                                          ? conf->body_in_memory_limit
                                          : default_body_in_memory_limit;
    answered = capture_body(r, *record, in_memory_limit, &rep.body_bytes) ==
               AP_FILTER_ERROR;
  }

  int ask_servers() {
    const int unscreened = answered ? AP_FILTER_ERROR : DECLINED;
    for (int index = first; index < 2; ++index) {
      if (index != first && !retarget(index))
        return unscreened;
      const apr_time_t start = apr_time_now();
      try {
        if (shared_counters)
          count(&shared_counters->body_bytes, rep.body_bytes);
        const int code = record->execute();
        rep.spent += apr_time_now() - start;
        rep.result = outcome_of(code);
        rep.server = index;
        return answered ? AP_FILTER_ERROR : enforce(r, *record, code);
      } catch (const std::exception &e) {
        rep.spent += apr_time_now() - start;
        failed(index, e.what(), record->last_failure());
      }
    }
    return unscreened;
  }

  // Aims the record at the secondary server, unless it is marked or its
  // address does not parse.
  bool retarget(int index) {
    if (skipped[index]) {
      VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s marked as failed",
                 servers[index]);
      return false;
    }
    try {
      record->set_server_name(servers[index]);
    } catch (const std::exception &e) {
      failed(index, e.what(), api::failure::none);
      return false;
    }
    return true;
  }

  request_rec *const r;
  const dir_conf *const conf;
  check_report &rep;
  const char *const servers[2];
  const int retry;
  const bool skipped[2];
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
