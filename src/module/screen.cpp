// The screening gate and what a screened request carries afterwards.
#include "screen.h"

#include <ap_regex.h>
#include <apr_strings.h>

#include "config.h"
#include "dispatch.h"
#include "enforce.h"
#include "module.h"
#include "phase.h"
#include "sample.h"
#include "static_file.h"
#include "status.h"

namespace vornex {
namespace module {

namespace {

// What a screened request carries as notes and environment.
const char verdict_value[] = "VORNEX_VERDICT";
const char check_time_value[] = "VORNEX_CHECK_TIME";
const char server_value[] = "VORNEX_SERVER";
// "0" where VornexEnforce Off left the outcome unenforced; unset otherwise.
const char enforced_value[] = "VORNEX_ENFORCED";
const char *const server_names[2] = {"primary", "secondary"};

// Sets a per-request value as a note (for %{...}n) and in the environment
// (for %{...}e, mod_headers and the application). Names and values are
// constants or live in the request's pool (an internal redirect shares the
// pool of the request it came from), so the tables need no copies.
void set_value(request_rec *r, const char *name, const char *value) {
  apr_table_setn(r->notes, name, value);
  apr_table_setn(r->subprocess_env, name, value);
}

void report(request_rec *r, const dir_conf *conf, const check_report &rep) {
  set_value(r, verdict_value, outcome_name(rep.result));
  set_value(r, check_time_value,
            apr_psprintf(r->pool, "%" APR_TIME_T_FMT, rep.spent));
  if (rep.server >= 0)
    set_value(r, server_value, server_names[rep.server]);
  if (monitoring(conf))
    set_value(r, enforced_value, "0");
  if (!shared_counters)
    return;
  const auto spent = static_cast<uint64_t>(rep.spent);
  if (monitoring(conf))
    count_monitored(shared_counters, rep.result, spent);
  else
    count_checked(shared_counters, rep.result, spent);
}

// VORNEX_VERDICT of a request that VornexSample left without a check.
const char unsampled_name[] = "unsampled";

// ... and of one that a skip pattern left without, named once.
const char *const skipped_name = outcome_name(outcome::skipped);

// A request that is not checked, with what its VORNEX_VERDICT says and the
// counter that counts it.
int unchecked(request_rec *r, const char *why, apr_uint64_t *counter) {
  set_value(r, verdict_value, why);
  if (shared_counters)
    count(counter);
  return DECLINED;
}

void log_conf(request_rec *r, const dir_conf *conf, const char *skip) {
  // One test of the level, on every request, for the five debug lines.
  if (!APLOG_IS_LEVEL(r->server, APLOG_DEBUG)) {
    if (conf->cgi_compat == 1)
      VORNEX_LOG(APLOG_WARNING, r->server, "%s",
                 "VornexCgiCompat is deprecated");
    return;
  }
  VORNEX_LOG(APLOG_DEBUG, r->server, "primary_server=%s", conf->primary_server);
  VORNEX_LOG(APLOG_DEBUG, r->server, "secondary_server=%s",
             conf->secondary_server);
  VORNEX_LOG(APLOG_DEBUG, r->server, "cache_results=%d", conf->cache_results);
  VORNEX_LOG(APLOG_DEBUG, r->server, "skip_uri=%s", skip);
  VORNEX_LOG(APLOG_DEBUG, r->server, "enabled=%d", conf->enabled);
  if (conf->cgi_compat == 1)
    VORNEX_LOG(APLOG_WARNING, r->server, "%s", "VornexCgiCompat is deprecated");
}

// The error line of a section that has screening on but cannot screen, or
// null when it can.
const char *conf_error(const dir_conf *conf) {
  if (!conf->primary_server)
    return "VornexPrimaryServer configuration parameter is not defined";
  if (!conf->secondary_server)
    return "VornexSecondaryServer configuration parameter is not defined";
  if (conf->skip_uri && !conf->skip_regex)
    return "VornexSkip configuration parameter contains an invalid "
           "regular expression";
  return nullptr;
}

bool matches(const dir_conf *conf, const char *target) {
  return ap_regexec(conf->skip_regex, target, 0, nullptr, 0) == 0;
}

// A section's own pattern is tried as the built-in one is (below).
bool skipped(request_rec *r, const dir_conf *conf) {
  if (!conf->skip_uri) {
    // Asked when the head was read, for most requests.
    const request_state *state = state_of(r);
    if (state && state->rule != rule_answer::unknown)
      return state->rule == rule_answer::skips;
    return builtin_rule_skips(r);
  }
  const char *target = skip_target(r->pool, or_empty(r->unparsed_uri));
  if (!matches(conf, target))
    return false;
  const char *bare = without_path_parameters(r->pool, target);
  return bare == target || matches(conf, bare);
}

} // namespace

// The patterns look at the target as the server resolves it, not at the
// client's text: an absolute-form target whose host name ends in ".js"
// would otherwise have its page at "/" skipped. A path with parameters is
// skipped only when it matches both as the server maps it to a file (with
// them) and as a backend that drops them reads it, so that neither
// "/login;x.css" nor "/app.js;v=2" can carry an application past the check.
bool builtin_rule_skips(request_rec *r) {
  const char *target = skip_target(r->pool, or_empty(r->unparsed_uri));
  // The rule finds path parameters in the same pass.
  bool parameters = false;
  if (!is_static_file(target, &parameters))
    return false;
  return !parameters ||
         is_static_file(without_path_parameters(r->pool, target));
}

int screen(request_rec *r) {
  const dir_conf *conf = effective_conf(r);
  if (!conf)
    return DECLINED;
  log_conf(r, conf, conf->skip_uri ? conf->skip_uri : static_file_pattern);
  if (conf->enabled != 1)
    return DECLINED;
  if (const char *error = conf_error(conf)) {
    VORNEX_LOG(APLOG_ERR, r->server, "%s", error);
    // Monitor mode never changes a response, not even for its own errors.
    return monitoring(conf) ? DECLINED : HTTP_INTERNAL_SERVER_ERROR;
  }
  if (skipped(r, conf))
    return unchecked(
        r, skipped_name,
        shared_counters
            ? &shared_counters->outcomes[static_cast<int>(outcome::skipped)]
            : nullptr);
  if (conf->sample_ppm >= 0 && !sampled(conf->sample_ppm))
    return unchecked(r, unsampled_name,
                     shared_counters ? &shared_counters->unsampled : nullptr);

  if (shared_counters)
    count(&shared_counters->screened);
  check_report rep;
  const int result = check_request(r, conf, rep);
  report(r, conf, rep);
  return result;
}

// An internal redirect of a screened request (a front controller,
// mod_actions, an error document), whatever serves it, carries what
// screening found at the start of its redirect chain, under the same names,
// for the access log and the application; so do an inject verdict's
// headers, which belong to the response whichever request of the chain
// produces it. The body needs nothing here: a redirect inherits the
// request's protocol filters, and with them the VORNEX_IN instance that
// holds the parked body. A sub-request does not stand for the request and
// carries nothing.
int follow(request_rec *r) {
  if (r->main)
    return DECLINED;
  request_rec *root = r;
  while (root->prev)
    root = root->prev;
  for (const char *name :
       {verdict_value, check_time_value, server_value, enforced_value})
    if (const char *value = apr_table_get(root->notes, name))
      set_value(r, name, value);
  carry_injected(r, root);
  return DECLINED;
}

} // namespace module
} // namespace vornex
