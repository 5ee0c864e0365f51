// mod_vornex: screens requests for automated clients by asking a remote check
// service about each one and enforcing its verdict. The request body that is
// read for the check is parked in the VORNEX_IN input filter and handed to
// whichever handler reads the body afterwards.

#include <httpd.h>

#include <ap_mpm.h>
#include <apr_lib.h>
#include <apr_optional.h>
#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_filter.h>

#include <apr_shm.h>
#include <mod_status.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "api.h"
#include "check_body.h"
#include "counters.h"
#include "field_name.h"
#include "protocol.h"
#include "relay.h"
#include "static_file.h"

extern "C" module AP_MODULE_DECLARE_DATA vornex_module;
APLOG_USE_MODULE(vornex);

// Every log line names this file, whatever path the build used. C code gets
// ap_log_error as a macro that tests the level before the call; C++ gets the
// bare function, so the test is made here: a debug line that is off costs no
// call on every request.
#define VORNEX_LOG(level, s, ...)                                              \
  do {                                                                         \
    if (APLOG_IS_LEVEL(s, level))                                              \
      ap_log_error("vornex.cpp", __LINE__, APLOG_MODULE_INDEX, level, 0, s,    \
                   __VA_ARGS__);                                               \
  } while (0)

namespace vornex {
namespace module {

struct dir_conf {
  const char *primary_server;
  const char *secondary_server;
  int cache_results;
  const char *skip_uri;
  int enabled;
  int cgi_compat;
  // skip_uri compiled when its directive was read; null when it did not
  // compile (reported on every request it applies to).
  const ap_regex_t *skip_regex;
  apr_off_t timeout_ms;    // VornexTimeout; -1 unset (9 s per attempt)
  apr_off_t retry_seconds; // VornexRetry; -1 unset, 0 off
  // VornexBodyInMemoryLimit; -1 unset (1 MiB), 0 every body in memory
  apr_off_t body_in_memory_limit;
  int keep_alive; // VornexKeepAlive; -1 unset (Off)
};

namespace {

const char filter_name[] = "VORNEX_IN";
// What a screened request carries as notes and environment.
const char verdict_value[] = "VORNEX_VERDICT";
const char check_time_value[] = "VORNEX_CHECK_TIME";
const char server_value[] = "VORNEX_SERVER";
// The server keeps registered filter names in lower case.
const char filter_name_lower[] = "vornex_in";
const apr_off_t body_read_size = 8192;
// Bodies longer than this are parked in a temporary file unless
// VornexBodyInMemoryLimit says otherwise.
const apr_off_t default_body_in_memory_limit = 1024 * 1024;

typedef char *(*ssl_var_lookup_fn)(apr_pool_t *, server_rec *, conn_rec *,
                                   request_rec *, char *);
// mod_ssl's variable lookup, or null without mod_ssl; written while the
// configuration is read, only read while requests are served.
ssl_var_lookup_fn ssl_var_lookup = nullptr;
// The counters in shared memory made for the current configuration, or null
// when none could be made; the pointer is written before requests are served.
counter_block *shared_counters = nullptr;
// This worker process's idle connections to check servers, and the watch
// that ends its check calls at their deadline; made when the process
// starts, so that nothing is shared with another process.
connection_pool *kept_connections = nullptr;
call_watch *call_deadlines = nullptr;

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

const char *or_empty(const char *text) { return text ? text : ""; }

// ---- helpers -------------------------------------------------------------

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

// The body length the request declares, or -1 when it declares none
// (chunked, HTTP/2 without a length) or one that does not parse.
apr_off_t declared_length(request_rec *r) {
  if (apr_table_get(r->headers_in, "Transfer-Encoding"))
    return -1;
  const char *length = apr_table_get(r->headers_in, "Content-Length");
  if (!length)
    return -1;
  char *end = nullptr;
  apr_off_t declared = 0;
  if (apr_strtoff(&declared, length, &end, 10) != APR_SUCCESS || *end ||
      declared < 0)
    return -1;
  return declared;
}

// Sizes the check body for a declared Content-Length that is kept in memory,
// so that a large body is not copied again and again while the buffer
// doubles.
void reserve_body(request_rec *r, api &record, apr_off_t declared) {
  if (declared <= 0)
    return;
  // A body over the server's limit is refused before it is read in full.
  const apr_off_t limit = static_cast<apr_off_t>(ap_get_limit_req_body(r));
  if (limit > 0 && declared > limit)
    declared = limit;
  try {
    record.reserve_data(record.get_data_size() + 2 +
                        static_cast<size_t>(declared));
  } catch (const std::bad_alloc &) {
    // Only an optimisation: the buffer then grows as the body arrives.
  }
}

// Opens the spool file for a body that goes over the in-memory limit; on
// failure the body stays in memory, as without a limit.
bool open_spool(request_rec *r, spool_file *spool) {
  const char *dir = nullptr;
  apr_status_t rv = apr_temp_dir_get(&dir, r->pool);
  if (rv == APR_SUCCESS)
    rv = spool_open(spool, dir, r->pool);
  if (rv == APR_SUCCESS)
    return true;
  VORNEX_LOG(APLOG_WARNING, r->server,
             "Vornex could not open a temporary file for a large body, "
             "keeping it in memory: %pm",
             &rv);
  return false;
}

// Reads the whole body through the filters below a new VORNEX_IN instance,
// parking every bucket in its context and appending the bytes to the record.
// A body longer than `limit` bytes (0: no limit) is parked, and sent to the
// check service, from an unlinked temporary file instead. Returns the status
// of the last read.
apr_status_t capture_body(request_rec *r, api &record, apr_off_t limit,
                          uint64_t *body_bytes) {
  ap_filter_t *f = ap_add_input_filter(filter_name, nullptr, r, r->connection);
  if (!f)
    return APR_SUCCESS;
  auto *ctx =
      static_cast<filter_ctx *>(apr_pcalloc(r->pool, sizeof(filter_ctx)));
  f->ctx = ctx;
  ctx->brigade = apr_brigade_create(f->c->pool, f->c->bucket_alloc);
  apr_bucket_brigade *read_bb =
      apr_brigade_create(f->c->pool, f->c->bucket_alloc);

  ctx->headers = r->headers_in;
  const apr_table_t *sent = apr_table_copy(r->pool, r->headers_in);

  const apr_off_t declared = declared_length(r);
  spool_file spool{nullptr, 0};
  if (limit > 0 && declared > limit)
    open_spool(r, &spool);
  if (!spool.file)
    reserve_body(r, record, declared);
  bool tried_spool = spool.file != nullptr;

  check_body::body_sink sink(record);
  for (;;) {
    apr_status_t rv = ap_get_brigade(f->next, read_bb, AP_MODE_READBYTES,
                                     APR_BLOCK_READ, body_read_size);
    ctx->status = rv;
    if (rv != APR_SUCCESS)
      break;
    if (spool.file) {
      if (spool_read(ctx, read_bb, &spool, r->pool, sink, record))
        break;
      continue;
    }
    const bool end = park_read(ctx, read_bb, r->pool, sink);
    if (limit > 0 && !tried_spool &&
        sink.body_bytes() > static_cast<uint64_t>(limit)) {
      // A body of unknown length just went over the limit.
      tried_spool = true;
      if (open_spool(r, &spool))
        spool_parked(ctx, &spool, sink, record);
    }
    if (end)
      break;
  }
  apr_brigade_destroy(read_bb);
  spool_finish(ctx, &spool, r->pool, record);
  *body_bytes = sink.body_bytes();

  // Until the body is handed over, the request keeps the headers the client
  // sent, as it would if nothing had read the body yet.
  if (!same_entries(sent, r->headers_in)) {
    ctx->headers_after_read = apr_table_copy(r->pool, r->headers_in);
    replace_entries(r->headers_in, sent);
  }
  return ctx->status;
}

// Sets the challenge headers in the response, and in `also` when given.
void set_challenge_headers(request_rec *r, api &record,
                           apr_table_t *also = nullptr) {
  const std::map<std::string, std::string> headers =
      record.get_challenge_headers();
  for (const auto &header : headers) {
    // A name that is no HTTP token (empty, with a space, a colon or a control
    // byte) would give the client a malformed header line; it is left out.
    if (!field_name::valid(header.first))
      continue;
    apr_table_set(r->headers_out, header.first.c_str(), header.second.c_str());
    if (also)
      apr_table_set(also, header.first.c_str(), header.second.c_str());
  }
}

void write_page(request_rec *r, const std::string &page) {
  const char *bytes = page.data();
  size_t left = page.size();
  do {
    const int piece = static_cast<int>(left < INT_MAX ? left : INT_MAX);
    ap_rwrite(bytes, piece, r);
    bytes += piece;
    left -= static_cast<size_t>(piece);
  } while (left > 0);
}

// Turns a verdict into the handler's result.
int enforce(request_rec *r, api &record, int code) {
  switch (code) {
  case protocol::pass:
    return DECLINED;
  case protocol::challenge:
  case protocol::captcha:
    r->status = HTTP_FORBIDDEN;
    set_challenge_headers(r, record);
    ap_set_content_type(r, "text/html");
    write_page(r, record.get_challenge_page());
    return OK;
  case protocol::redirect: {
    r->status = HTTP_MOVED_TEMPORARILY;
    const std::string target = record.get_mitigation_url();
    apr_table_set(r->headers_out, "Location", target.c_str());
    return OK;
  }
  case protocol::limit:
    r->status = HTTP_TOO_MANY_REQUESTS;
    apr_table_set(r->headers_out, "Retry-After", "3600");
    return OK;
  case protocol::inject: {
    r->status = HTTP_OK;
    // Kept for internal redirects of the request, which start with response
    // headers of their own.
    apr_table_t *injected = apr_table_make(r->pool, 4);
    set_challenge_headers(r, record, injected);
    ap_set_module_config(r->request_config, &vornex_module, injected);
    return DECLINED;
  }
  case protocol::block:
  case protocol::return_fake_data:
  default: // and anything unknown
    return HTTP_FORBIDDEN;
  }
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

// What became of one screened request, for its notes and the counters.
struct check_report {
  outcome result = outcome::unscreened;
  int server = -1;      // index of the server that gave the verdict
  apr_time_t spent = 0; // in the check calls
  uint64_t body_bytes = 0;
};

const char *const server_names[2] = {"primary", "secondary"};

// Sets a per-request value as a note (for %{...}n) and in the environment
// (for %{...}e, mod_headers and the application).
void set_value(request_rec *r, const char *name, const char *value) {
  apr_table_set(r->notes, name, value);
  apr_table_set(r->subprocess_env, name, value);
}

void report(request_rec *r, const check_report &rep) {
  set_value(r, verdict_value, outcome_name(rep.result));
  set_value(r, check_time_value,
            apr_psprintf(r->pool, "%" APR_TIME_T_FMT, rep.spent));
  if (rep.server >= 0)
    set_value(r, server_value, server_names[rep.server]);
  if (shared_counters)
    count_checked(shared_counters, rep.result,
                  static_cast<uint64_t>(rep.spent));
}

// Builds the check record, sends it to the primary server and, after a
// failure, once to the secondary one; when both fail the request is served
// unscreened. With VornexRetry, a server marked as failed is passed over.
int check_request(request_rec *r, const dir_conf *conf, check_report &rep) {
  const char *const servers[2] = {conf->primary_server, conf->secondary_server};
  const int retry =
      conf->retry_seconds > 0 ? static_cast<int>(conf->retry_seconds) : 0;
  const bool skipped[2] = {retry && is_marked(r, servers[0]),
                           retry && is_marked(r, servers[1])};
  if (skipped[0] && skipped[1]) {
    VORNEX_LOG(APLOG_ERR, r->server,
               "Vornex API error: %s and %s marked as failed", servers[0],
               servers[1]);
    return DECLINED;
  }

  // Logs a failed attempt: a warning for the primary, the error line for the
  // secondary; a server that could not be reached or ran out of time is
  // marked.
  const auto failed = [&](int index, const char *message, api::failure why) {
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
  };

  std::optional<api> record;
  int first = skipped[0] ? 1 : 0;
  try {
    record.emplace(servers[first]);
  } catch (const std::exception &e) {
    failed(first, e.what(), api::failure::none);
    if (first == 1 || skipped[1])
      return DECLINED;
    first = 1;
    try {
      record.emplace(servers[1]);
    } catch (const std::exception &e2) {
      failed(1, e2.what(), api::failure::none);
      return DECLINED;
    }
  }
  if (conf->timeout_ms > 0)
    record->set_time_limit(std::chrono::milliseconds(conf->timeout_ms));
  record->set_watch(call_deadlines);
  if (conf->keep_alive == 1)
    record->set_pool(kept_connections);

  set_facts(r, *record);
  check_body::add_head(*record, r->the_request, r->headers_in);
  // AP_FILTER_ERROR from the body read means the server has already sent its
  // own error response (413 over LimitRequestBody, 400 for broken chunking).
  // The check is still made with the bytes read, but nothing more may be
  // written: whatever comes of it, the server is told the request is done.
  const apr_off_t in_memory_limit = conf->body_in_memory_limit >= 0
                                        ? conf->body_in_memory_limit
                                        : default_body_in_memory_limit;
  const bool answered = capture_body(r, *record, in_memory_limit,
                                     &rep.body_bytes) == AP_FILTER_ERROR;
  const int unscreened = answered ? AP_FILTER_ERROR : DECLINED;

  for (int index = first; index < 2; ++index) {
    if (index != first) {
      if (skipped[index]) {
        VORNEX_LOG(APLOG_ERR, r->server,
                   "Vornex API error: %s marked as failed", servers[index]);
        return unscreened;
      }
      try {
        record->set_server_name(servers[index]);
      } catch (const std::exception &e) {
        failed(index, e.what(), api::failure::none);
        return unscreened;
      }
    }
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

int screen(request_rec *r, const dir_conf *conf) {
  if (shared_counters)
    count(&shared_counters->screened);
  check_report rep;
  const int result = check_request(r, conf, rep);
  report(r, rep);
  return result;
}

bool is_cgi_handler(const char *name) {
  return name && (std::strcmp(name, "application/x-httpd-cgi") == 0 ||
                  std::strcmp(name, "cgi-script") == 0);
}

// Sub-requests and internal redirects are never screened. An internal
// redirect of a screened request (a front controller, mod_actions, an error
// document), whatever serves it, gets a VORNEX_IN instance sharing the body
// parked at the start of its redirect chain; a sub-request only when a CGI
// handler serves it, since other sub-requests (includes, look-ups) do not
// stand for the request that carries the body.
int handoff(request_rec *r) {
  if (r->main && !is_cgi_handler(r->handler))
    return DECLINED;
  request_rec *root = r;
  while (root->prev)
    root = root->prev;
  // What screening found follows the request through its redirects, under
  // the same names, for the access log and the application.
  if (!r->main) {
    for (const char *name : {verdict_value, check_time_value, server_value})
      if (const char *value = apr_table_get(root->notes, name))
        set_value(r, name, value);
    // An inject verdict's headers belong to the response, whichever request
    // of the chain produces it.
    if (const auto *injected = static_cast<const apr_table_t *>(
            ap_get_module_config(root->request_config, &vornex_module)))
      apr_table_overlap(r->headers_out, injected, APR_OVERLAP_TABLES_SET);
  }
  ap_filter_t *first = root->input_filters;
  if (!first || !first->frec || !first->frec->name)
    return DECLINED;
  if (std::strcmp(first->frec->name, filter_name_lower) == 0)
    ap_add_input_filter(filter_name, first->ctx, r, r->connection);
  return DECLINED;
}

int handle(request_rec *r) {
  if (r->main || r->prev)
    return handoff(r);

  const auto *conf = static_cast<const dir_conf *>(
      ap_get_module_config(r->per_dir_config, &vornex_module));
  if (!conf)
    return DECLINED;
  const char *skip = conf->skip_uri ? conf->skip_uri : static_file_pattern;

  VORNEX_LOG(APLOG_DEBUG, r->server, "primary_server=%s", conf->primary_server);
  VORNEX_LOG(APLOG_DEBUG, r->server, "secondary_server=%s",
             conf->secondary_server);
  VORNEX_LOG(APLOG_DEBUG, r->server, "cache_results=%d", conf->cache_results);
  VORNEX_LOG(APLOG_DEBUG, r->server, "skip_uri=%s", skip);
  VORNEX_LOG(APLOG_DEBUG, r->server, "enabled=%d", conf->enabled);
  if (conf->cgi_compat == 1)
    VORNEX_LOG(APLOG_WARNING, r->server, "%s", "VornexCgiCompat is deprecated");

  if (conf->enabled != 1)
    return DECLINED;
  if (!conf->primary_server) {
    VORNEX_LOG(APLOG_ERR, r->server, "%s",
               "VornexPrimaryServer configuration parameter is not defined");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  if (!conf->secondary_server) {
    VORNEX_LOG(APLOG_ERR, r->server, "%s",
               "VornexSecondaryServer configuration parameter is not defined");
    return HTTP_INTERNAL_SERVER_ERROR;
  }

  if (conf->skip_uri && !conf->skip_regex) {
    VORNEX_LOG(APLOG_ERR, r->server, "%s",
               "VornexSkip configuration parameter contains an invalid "
               "regular expression");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  const char *uri = or_empty(r->unparsed_uri);
  if (conf->skip_uri ? ap_regexec(conf->skip_regex, uri, 0, nullptr, 0) == 0
                     : is_static_file(uri)) {
    set_value(r, verdict_value, outcome_name(outcome::skipped));
    if (shared_counters)
      count(&shared_counters->outcomes[static_cast<int>(outcome::skipped)]);
    return DECLINED;
  }

  return screen(r, conf);
}

apr_status_t relay_input(ap_filter_t *f, apr_bucket_brigade *bb,
                         ap_input_mode_t mode, apr_read_type_e block,
                         apr_off_t readbytes) {
  auto *ctx = static_cast<filter_ctx *>(f->ctx);
  if (!ctx || !ctx->brigade)
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  apply_headers_after_read(ctx);
  switch (mode) {
  case AP_MODE_READBYTES:
    return relay(ctx, bb, relay_mode::readbytes, block, readbytes);
  case AP_MODE_SPECULATIVE:
    return relay(ctx, bb, relay_mode::speculative, block, readbytes);
  case AP_MODE_GETLINE:
    return relay(ctx, bb, relay_mode::getline, block, readbytes);
  case AP_MODE_EXHAUSTIVE:
    return relay(ctx, bb, relay_mode::exhaustive, block, readbytes);
  default:
    // Connection-level modes have no meaning for a request body.
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
}

} // namespace

// ---- filter and handler --------------------------------------------------

apr_status_t input_filter(ap_filter_t *f, apr_bucket_brigade *bb,
                          ap_input_mode_t mode, apr_read_type_e block,
                          apr_off_t readbytes) {
  try {
    return relay_input(f, bb, mode, block, readbytes);
  } catch (...) {
    return APR_EGENERAL;
  }
}

int handler(request_rec *r) {
  try {
    return handle(r);
  } catch (const std::exception &e) {
    VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", e.what());
  } catch (...) {
    VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", "Unknown");
  }
  return DECLINED;
}

// ---- configuration -------------------------------------------------------

void *create_dir_conf(apr_pool_t *pool, char *) {
  auto *conf = static_cast<dir_conf *>(apr_pcalloc(pool, sizeof(dir_conf)));
  conf->primary_server = nullptr;
  conf->secondary_server = nullptr;
  conf->cache_results = -1;
  conf->skip_uri = nullptr;
  conf->enabled = -1;
  conf->cgi_compat = -1;
  conf->skip_regex = nullptr;
  conf->timeout_ms = -1;
  conf->retry_seconds = -1;
  conf->body_in_memory_limit = -1;
  conf->keep_alive = -1;
  return conf;
}

void *merge_dir_conf(apr_pool_t *pool, void *base_conf, void *add_conf) {
  const auto *base = static_cast<const dir_conf *>(base_conf);
  const auto *add = static_cast<const dir_conf *>(add_conf);
  auto *conf = static_cast<dir_conf *>(apr_pcalloc(pool, sizeof(dir_conf)));
  conf->primary_server =
      add->primary_server ? add->primary_server : base->primary_server;
  conf->secondary_server =
      add->secondary_server ? add->secondary_server : base->secondary_server;
  conf->cache_results =
      add->cache_results != -1 ? add->cache_results : base->cache_results;
  const dir_conf *skip = add->skip_uri ? add : base;
  conf->skip_uri = skip->skip_uri;
  conf->skip_regex = skip->skip_regex;
  conf->enabled = add->enabled != -1 ? add->enabled : base->enabled;
  conf->cgi_compat = add->cgi_compat != -1 ? add->cgi_compat : base->cgi_compat;
  conf->timeout_ms = add->timeout_ms != -1 ? add->timeout_ms : base->timeout_ms;
  conf->retry_seconds =
      add->retry_seconds != -1 ? add->retry_seconds : base->retry_seconds;
  conf->body_in_memory_limit = add->body_in_memory_limit != -1
                                   ? add->body_in_memory_limit
                                   : base->body_in_memory_limit;
  conf->keep_alive = add->keep_alive != -1 ? add->keep_alive : base->keep_alive;
  return conf;
}

namespace {
// The directive table's setter type has no parameter list in C++; the
// generic slot setters are stored through the one function type that
// converts to any other without a warning.
template <typename F> cmd_func setter(F *f) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(f));
}
void *slot(size_t offset) { return reinterpret_cast<void *>(offset); }

// Stores the expression as given and compiles it once, here; an expression
// that does not compile is remembered as such and reported per request.
const char *set_skip(cmd_parms *cmd, void *conf_ptr, const char *expression) {
  auto *conf = static_cast<dir_conf *>(conf_ptr);
  conf->skip_uri = expression;
  conf->skip_regex = ap_pregcomp(cmd->pool, expression, AP_REG_ICASE);
  return nullptr;
}

// A numeric directive: where its value goes in dir_conf, the values it
// takes, and what the configuration reader says about any other.
struct number_slot {
  size_t offset;
  apr_off_t low;
  apr_off_t high;
  const char *error;
};

const number_slot timeout_slot = {
    offsetof(dir_conf, timeout_ms), 1, 30000,
    "VornexTimeout takes a number of milliseconds from 1 to 30000"};
const number_slot retry_slot = {
    offsetof(dir_conf, retry_seconds), 0, 86400,
    "VornexRetry takes a number of seconds from 0 to 86400"};
const number_slot body_limit_slot = {
    offsetof(dir_conf, body_in_memory_limit), 0, APR_INT64_MAX,
    "VornexBodyInMemoryLimit takes a number of bytes (0: no limit)"};

// Stores a whole decimal number within the directive's bounds.
const char *set_number(cmd_parms *cmd, void *conf_ptr, const char *text) {
  const auto *slot = static_cast<const number_slot *>(cmd->info);
  char *end = nullptr;
  apr_off_t value = -1;
  if (!apr_isdigit(*text) ||
      apr_strtoff(&value, text, &end, 10) != APR_SUCCESS || *end ||
      value < slot->low || value > slot->high)
    return slot->error;
  *reinterpret_cast<apr_off_t *>(static_cast<char *>(conf_ptr) + slot->offset) =
      value;
  return nullptr;
}
void *number(const number_slot &slot) {
  return const_cast<number_slot *>(&slot);
}
} // namespace

const command_rec config_options[] = {
    {"VornexPrimaryServer", setter(ap_set_string_slot),
     slot(offsetof(dir_conf, primary_server)), RSRC_CONF, TAKE1,
     "The address of the primary Vornex server"},
    {"VornexSecondaryServer", setter(ap_set_string_slot),
     slot(offsetof(dir_conf, secondary_server)), RSRC_CONF, TAKE1,
     "The address of the secondary Vornex server"},
    {"VornexCacheResults", setter(ap_set_flag_slot),
     slot(offsetof(dir_conf, cache_results)), RSRC_CONF, FLAG,
     "Cache challenge results"},
    {"VornexSkip", setter(set_skip), slot(offsetof(dir_conf, skip_uri)), OR_ALL,
     TAKE1, "Skip processing URI by regexp"},
    {"VornexCheck", setter(ap_set_flag_slot), slot(offsetof(dir_conf, enabled)),
     OR_ALL, FLAG, "Enable Vornex service"},
    {"VornexCgiCompat", setter(ap_set_flag_slot),
     slot(offsetof(dir_conf, cgi_compat)), OR_ALL, FLAG,
     "Enable mod_cgi compat mode"},
    {"VornexTimeout", setter(set_number), number(timeout_slot), RSRC_CONF,
     TAKE1, "Time limit of one check attempt, in milliseconds"},
    {"VornexRetry", setter(set_number), number(retry_slot), RSRC_CONF, TAKE1,
     "Seconds a failed check server is not asked"},
    {"VornexBodyInMemoryLimit", setter(set_number), number(body_limit_slot),
     RSRC_CONF, TAKE1, "Longest request body kept in memory, in bytes"},
    {"VornexKeepAlive", setter(ap_set_flag_slot),
     slot(offsetof(dir_conf, keep_alive)), RSRC_CONF, FLAG,
     "Keep connections to the check servers open between checks"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr}};

// ---- hooks ---------------------------------------------------------------

void ssl_lookup_handler() {
  ssl_var_lookup = reinterpret_cast<ssl_var_lookup_fn>(
      apr_dynamic_fn_retrieve("ssl_var_lookup"));
}

// Runs at every configuration load: the counters start again at zero in a new
// segment that the worker processes forked afterwards inherit.
int post_config(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *, server_rec *s) {
  apr_shm_t *shm = nullptr;
  const apr_status_t rv =
      apr_shm_create(&shm, sizeof(counter_block), nullptr, pconf);
  if (rv != APR_SUCCESS) {
    shared_counters = nullptr;
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex could not make its counters in shared memory: %pm", &rv);
    return OK;
  }
  shared_counters = static_cast<counter_block *>(apr_shm_baseaddr_get(shm));
  std::memset(shared_counters, 0, sizeof(counter_block));
  return OK;
}

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

// Each worker process keeps at most as many idle connections per check
// server as it has threads to use them.
void child_init(apr_pool_t *pchild, server_rec *s) {
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

// The module's section of mod_status's page, and its lines in ?auto.
int status_hook(request_rec *r, int flags) {
  if (!shared_counters)
    return OK;
  const auto lines = counter_lines(*shared_counters);
  if (flags & AP_STATUS_SHORT) {
    for (const auto &line : lines)
      ap_rprintf(r, "%s: %" APR_UINT64_T_FMT "\n", line.first.c_str(),
                 static_cast<apr_uint64_t>(line.second));
    return OK;
  }
  ap_rputs("<hr />\n<h2>mod_vornex</h2>\n", r);
  ap_rputs("<p>Counted since the server last started or restarted.</p>\n", r);
  ap_rputs("<table border=\"0\">\n", r);
  for (const auto &line : lines)
    ap_rprintf(r, "<tr><td>%s</td><td>%" APR_UINT64_T_FMT "</td></tr>\n",
               line.first.c_str(), static_cast<apr_uint64_t>(line.second));
  ap_rputs("</table>\n", r);
  return OK;
}

void register_hooks(apr_pool_t *) {
  static const char *const ssl_first[] = {"mod_ssl.c", nullptr};
  // Every content handler that serves a request for an application must
  // come after this one. APR_HOOK_REALLY_FIRST puts it ahead of mod_proxy's
  // APR_HOOK_FIRST handler whatever the LoadModule order; the list also keeps
  // it ahead of any of these that registers as early as it does.
  static const char *const before_scripts[] = {
      "mod_php.c",       "mod_php5.c",
      "mod_php7.c",      "mod_php8.c",
      "mod_cgi.c",       "mod_cgid.c",
      "mod_fcgid.c",     "mod_actions.c",
      "mod_proxy.c",     "mod_proxy_balancer.c",
      "mod_lua.c",       "mod_wsgi.c",
      "mod_perl.c",      "mod_python.c",
      "mod_passenger.c", "mod_jk.c",
      "mod_fastcgi.c",   "mod_suphp.c",
      "mod_lsapi.c",     "mod_isapi.c",
      "mod_dav.c",       nullptr};
  ap_hook_optional_fn_retrieve(ssl_lookup_handler, ssl_first, nullptr,
                               APR_HOOK_MIDDLE);
  ap_register_input_filter(filter_name, input_filter, nullptr,
                           AP_FTYPE_RESOURCE);
  ap_hook_handler(handler, nullptr, before_scripts, APR_HOOK_REALLY_FIRST);
  ap_hook_post_config(post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
  APR_OPTIONAL_HOOK(ap, status_hook, status_hook, nullptr, nullptr,
                    APR_HOOK_MIDDLE);
}

} // namespace module
} // namespace vornex

// ---- module record -------------------------------------------------------

extern "C" {
module AP_MODULE_DECLARE_DATA vornex_module = {MODULE_MAGIC_NUMBER_MAJOR,
                                               MODULE_MAGIC_NUMBER_MINOR,
                                               -1,
                                               "vornex.cpp",
                                               nullptr,
                                               nullptr,
                                               MODULE_MAGIC_COOKIE,
                                               nullptr,
                                               vornex::module::create_dir_conf,
                                               vornex::module::merge_dir_conf,
                                               nullptr,
                                               nullptr,
                                               vornex::module::config_options,
                                               vornex::module::register_hooks,
                                               AP_MODULE_FLAG_NONE};
}
