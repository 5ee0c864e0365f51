// The module's per-directory configuration: the record, its creation and
// merging, and the setters of the directives that need more than the
// server's generic slot setters. The directive table itself is in vornex.cpp.
#ifndef VORNEX_CONFIG_H
#define VORNEX_CONFIG_H

#include <httpd.h>

#include <ap_regex.h>
#include <http_config.h>

#include <cstddef>

#include "tls_context.h"

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
  // VornexMaxChecks: checks one worker process has in flight at most, as a
  // number or as a percentage of its threads; -1 unset (no cap).
  apr_off_t max_checks;
  int max_checks_percent; // 1 when max_checks is a percentage
  // VornexFailureMode: what a request without a verdict gets. -1 unset
  // (open), 0 open (served unscreened), 1 closed (answered with
  // failure_status).
  int failure_mode;
  int failure_status;
  // VornexTLSCACertificateFile, VornexTLSClientCertificateFile and
  // VornexTLSClientKeyFile as full paths; null unset (the system's trust
  // store, no client certificate).
  const char *tls_ca_file;
  const char *tls_certificate_file;
  const char *tls_key_file;
  int tls_verify; // VornexTLSVerify; -1 unset (On)
  // The TLS settings above as loaded when the configuration was (tls.h),
  // for a server whose addresses use https:// or that sets any of them;
  // null otherwise, and until then.
  const tls_context *tls;
  // VornexEnforce: -1 unset (On), 1 On, 0 Off: the check is made and
  // counted but its outcome never changes the response (monitor mode).
  int enforce;
  // VornexSample: the share of requests checked, in parts per million
  // (sample.h); -1 unset (every request).
  long sample_ppm;
  // VornexPhase: where the request is screened. -1 unset (content),
  // phase_content, phase_early.
  int phase;
};

const int phase_content = 0;
const int phase_early = 1;

// The failure policy's status when VornexFailureMode closed names none.
const int default_failure_status = 503;

void *create_dir_conf(apr_pool_t *pool, char *dir);
void *merge_dir_conf(apr_pool_t *pool, void *base_conf, void *add_conf);

// The configuration in effect for a request, or null.
const dir_conf *effective_conf(const request_rec *r);

// VornexPrimaryServer and VornexSecondaryServer: the address as written, in
// the slot at offset `info`. An address that names its scheme must be one
// the client reads (http:// or https://, a host, an optional port).
const char *set_server(cmd_parms *cmd, void *conf_ptr, const char *address);

// The TLS file directives: the file's path (relative to ServerRoot unless
// absolute) in the slot at offset `info`, once the file has been opened for
// reading.
const char *set_tls_file(cmd_parms *cmd, void *conf_ptr, const char *path);

// Stores the skip expression and compiles it once.
const char *set_skip(cmd_parms *cmd, void *conf_ptr, const char *expression);

// A numeric directive: where its value goes in dir_conf, the values it
// takes, and what the configuration reader says about any other. The
// directive table passes the slot as the setter's `info`.
struct number_slot {
  size_t offset;
  apr_off_t low;
  apr_off_t high;
  const char *error;
};
extern const number_slot timeout_slot;
extern const number_slot retry_slot;
extern const number_slot body_limit_slot;

// Stores a whole decimal number within the bounds of the slot in `info`.
const char *set_number(cmd_parms *cmd, void *conf_ptr, const char *text);

// VornexMaxChecks number|percent%
const char *set_max_checks(cmd_parms *cmd, void *conf_ptr, const char *text);

// VornexCheck On|Off
const char *set_check(cmd_parms *cmd, void *conf_ptr, int on);

// VornexPhase early|content
const char *set_phase(cmd_parms *cmd, void *conf_ptr, const char *phase);

// VornexFailureMode open|closed [status]
const char *set_failure_mode(cmd_parms *cmd, void *conf_ptr, const char *mode,
                             const char *status);

// VornexEnforce On|Off
const char *set_enforce(cmd_parms *cmd, void *conf_ptr, int on);

// VornexSample percent
const char *set_sample(cmd_parms *cmd, void *conf_ptr, const char *text);

// Whether the configuration read last names VornexEnforce Off or
// VornexSample anywhere (then mod_status shows their counters even while
// they are zero). Cleared before each configuration is read.
extern bool rollout_named;

// Whether requests under `conf` are left as they would be with a pass,
// whatever the check finds (VornexEnforce Off).
inline bool monitoring(const dir_conf *conf) { return conf->enforce == 0; }

// The cap of VornexMaxChecks, or 0 for none: a percentage of `basis` (a
// process's threads, or the server's processes under prefork) is rounded up
// and is never less than one check.
int checks_cap(const dir_conf *conf, int basis);

} // namespace module
} // namespace vornex

#endif
