// mod_vornex: screens requests for automated clients by asking a remote check
// service about each one and enforcing its verdict. The request body that is
// read for the check is parked in the VORNEX_IN input filter and handed to
// whichever handler reads the body afterwards.
//
// This file holds the module record, the directive table, the hook
// registration and the hooks' entry points, which catch everything. The work
// is done in:
//   config.cpp    per-directory configuration: create, merge, setters
//   screen.cpp    the gate of a main request, and what redirects carry on
//   phase.cpp     the check points before the content phase (mod_cache's
//                 quick handler, VornexPhase early) and the request's state
//   dispatch.cpp  the check record, the call and its failover
//   enforce.cpp   the verdict made the request's fate, and the filter that
//                 keeps an inject verdict's headers in the response
//   body.cpp      the body: capture, the VORNEX_IN filter
//   status.cpp    counters and server marks in shared memory, and
//                 mod_status's and the vornex-metrics handler's view of them
//   metrics.cpp   the counters in Prometheus's text format
//   sample.cpp    which requests VornexSample has checked
//   tls.cpp       the TLS settings of https:// check servers, loaded with
//                 the configuration

#include <httpd.h>

#include <apr_optional.h>
#include <http_config.h>
#include <http_protocol.h>
#include <http_request.h>
#include <mod_status.h>
#include <util_filter.h>

#include <cstring>
#include <exception>

#include "body.h"
#include "config.h"
#include "dispatch.h"
#include "enforce.h"
#include "metrics.h"
#include "module.h"
#include "phase.h"
#include "sample.h"
#include "screen.h"
#include "status.h"
#include "tls.h"

namespace vornex {
namespace module {

// ---- entry points ----------------------------------------------------------

apr_status_t input_filter(ap_filter_t *f, apr_bucket_brigade *bb,
                          ap_input_mode_t mode, apr_read_type_e block,
                          apr_off_t readbytes) {
  try {
    return relay_input(f, bb, mode, block, readbytes);
  } catch (...) {
    return APR_EGENERAL;
  }
}

apr_status_t inject_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  try {
    return inject_output(f, bb);
  } catch (...) {
    ap_remove_output_filter(f);
    return ap_pass_brigade(f->next, bb);
  }
}

int handler(request_rec *r) {
  try {
    // The metrics page is served as it is, never screened or counted.
    if (r->handler && r->handler[0] == metrics_handler_name[0] &&
        !std::strcmp(r->handler, metrics_handler_name))
      return show_metrics(r);
    if (r->main || r->prev)
      return follow(r);
    if (const request_state *state = state_of(r))
      if (state->screened)
        return DECLINED;
    return screen(r);
  } catch (const std::exception &e) {
    VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", e.what());
  } catch (...) {
    VORNEX_LOG(APLOG_ERR, r->server, "Vornex API error: %s", "Unknown");
  }
  return DECLINED;
}

int quick_handler(request_rec *r, int lookup) {
  try {
    return screen_before_cache(r, lookup);
  } catch (...) {
    return DECLINED;
  }
}

int header_parser(request_rec *r) {
  try {
    return screen_early(r);
  } catch (...) {
    return DECLINED;
  }
}

int post_read_request(request_rec *r) {
  try {
    return take_headers(r);
  } catch (...) {
    return DECLINED;
  }
}

void ssl_lookup_handler() { find_ssl_lookup(); }

// Runs at every configuration load: the counters start again at zero in a new
// segment that the worker processes forked afterwards inherit, and the TLS
// settings are loaded once for all of them; settings that cannot be loaded
// stop the server from starting.
int post_config(apr_pool_t *pconf, apr_pool_t *, apr_pool_t *ptemp,
                server_rec *s) {
  try {
    check_configuration(ptemp, s);
    make_shared(pconf, s);
  } catch (...) {
  }
  try {
    return load_tls(pconf, s);
  } catch (...) {
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

// Runs before every configuration load (the first one included), once the
// configuration has been read and its modules loaded, and before the server
// applies it and sorts the hooks again: hooks that only some configurations
// need are added here.
int pre_config(apr_pool_t *, apr_pool_t *, apr_pool_t *) {
  rollout_named = false;
  start_configuration();
  // Just ahead of mod_cache's quick handler, which answers from the cache
  // before any other hook sees the request; where mod_cache is not loaded,
  // the hook would only cost every request a call.
  static const char *const before_cache[] = {"mod_cache.c", nullptr};
  if (ap_find_linked_module("mod_cache.c"))
    ap_hook_quick_handler(quick_handler, nullptr, before_cache,
                          APR_HOOK_REALLY_FIRST);
  // Likewise VornexPhase early's hook, where nothing can set it.
  if (early_phase_possible())
    ap_hook_header_parser(header_parser, nullptr, nullptr,
                          APR_HOOK_REALLY_LAST);
  return OK;
}

void child_init(apr_pool_t *pchild, server_rec *s) {
  try {
    reseed_samples();
    start_process(pchild, s);
  } catch (...) {
  }
}

// The module's section of mod_status's page, and its lines in ?auto.
int status_hook(request_rec *r, int flags) {
  try {
    return show_counters(r, flags);
  } catch (...) {
    return OK;
  }
}

// ---- directives ------------------------------------------------------------

namespace {
// The directive table's setter type has no parameter list in C++; the
// generic slot setters are stored through the one function type that
// converts to any other without a warning.
template <typename F> cmd_func setter(F *f) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(f));
}
void *slot(size_t offset) { return reinterpret_cast<void *>(offset); }
void *number(const number_slot &slot) {
  return const_cast<number_slot *>(&slot);
}
} // namespace

const command_rec config_options[] = {
    {"VornexPrimaryServer", setter(set_server),
     slot(offsetof(dir_conf, primary_server)), RSRC_CONF, TAKE1,
     "The address of the primary Vornex server"},
    {"VornexSecondaryServer", setter(set_server),
     slot(offsetof(dir_conf, secondary_server)), RSRC_CONF, TAKE1,
     "The address of the secondary Vornex server"},
    {"VornexCacheResults", setter(ap_set_flag_slot),
     slot(offsetof(dir_conf, cache_results)), RSRC_CONF, FLAG,
     "Cache challenge results"},
    {"VornexSkip", setter(set_skip), slot(offsetof(dir_conf, skip_uri)), OR_ALL,
     TAKE1, "Skip processing URI by regexp"},
    {"VornexCheck", setter(set_check), slot(offsetof(dir_conf, enabled)),
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
    {"VornexMaxChecks", setter(set_max_checks),
     slot(offsetof(dir_conf, max_checks)), RSRC_CONF, TAKE1,
     "Most checks a worker process waits on at once: number or percent%"},
    {"VornexFailureMode", setter(set_failure_mode),
     slot(offsetof(dir_conf, failure_mode)), OR_ALL, TAKE12,
     "What a request without a verdict gets: open, or closed [status]"},
    {"VornexTLSCACertificateFile", setter(set_tls_file),
     slot(offsetof(dir_conf, tls_ca_file)), RSRC_CONF, TAKE1,
     "Trusted CA certificates (PEM) for https:// check servers"},
    {"VornexTLSVerify", setter(ap_set_flag_slot),
     slot(offsetof(dir_conf, tls_verify)), RSRC_CONF, FLAG,
     "Verify the certificates of https:// check servers"},
    {"VornexTLSClientCertificateFile", setter(set_tls_file),
     slot(offsetof(dir_conf, tls_certificate_file)), RSRC_CONF, TAKE1,
     "Client certificate (PEM) for https:// check servers"},
    {"VornexTLSClientKeyFile", setter(set_tls_file),
     slot(offsetof(dir_conf, tls_key_file)), RSRC_CONF, TAKE1,
     "Private key (PEM) of the client certificate"},
    {"VornexEnforce", setter(set_enforce), slot(offsetof(dir_conf, enforce)),
     OR_ALL, FLAG, "Enforce verdicts, or only check and count them (Off)"},
    {"VornexSample", setter(set_sample), slot(offsetof(dir_conf, sample_ppm)),
     OR_ALL, TAKE1, "Percentage of requests that are checked"},
    {"VornexPhase", setter(set_phase), slot(offsetof(dir_conf, phase)), OR_ALL,
     TAKE1, "When requests are screened: early or content"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr}};

// ---- hooks -----------------------------------------------------------------

void register_hooks(apr_pool_t *) {
  static const char *const ssl_first[] = {"mod_ssl.c", nullptr};
  // Every content handler that serves a request for an application must
  // come after this one. APR_HOOK_REALLY_FIRST puts it ahead of mod_proxy's
  // APR_HOOK_FIRST handler whatever the LoadModule order; the list also keeps
  // it ahead of any of these that registers as early as it does.
  static const char *const before_scripts[] = {"mod_php.c",
                                               "mod_php5.c",
                                               "mod_php7.c",
                                               "mod_php8.c",
                                               "mod_cgi.c",
                                               "mod_cgid.c",
                                               "mod_fcgid.c",
                                               "mod_actions.c",
                                               "mod_proxy.c",
                                               "mod_proxy_balancer.c",
                                               "mod_lua.c",
                                               "mod_wsgi.c",
                                               "mod_perl.c",
                                               "mod_python.c",
                                               "mod_passenger.c",
                                               "mod_jk.c",
                                               "mod_fastcgi.c",
                                               "mod_suphp.c",
                                               "mod_lsapi.c",
                                               "mod_isapi.c",
                                               "mod_dav.c",
                                               "mod_cache.c",
                                               nullptr};
  ap_hook_optional_fn_retrieve(ssl_lookup_handler, ssl_first, nullptr,
                               APR_HOOK_MIDDLE);
  // VORNEX_IN belongs to the request's protocol filters (body.cpp puts it
  // on top of them); VORNEX_INJECT runs above every content filter.
  ap_register_input_filter(filter_name, input_filter, nullptr,
                           AP_FTYPE_PROTOCOL);
  ap_register_output_filter(inject_filter_name, inject_filter, nullptr,
                            AP_FTYPE_RESOURCE);
  ap_hook_handler(handler, nullptr, before_scripts, APR_HOOK_REALLY_FIRST);
  // Ahead of mod_remoteip and mod_headers, which change the client's header
  // lines in this hook.
  ap_hook_post_read_request(post_read_request, nullptr, nullptr,
                            APR_HOOK_REALLY_FIRST);
  ap_hook_pre_config(pre_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_config(post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
  APR_OPTIONAL_HOOK(ap, status_hook, status_hook, nullptr, nullptr,
                    APR_HOOK_MIDDLE);
}

} // namespace module
} // namespace vornex

// ---- module record ---------------------------------------------------------

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
