// Per-directory configuration: create, merge and the setters that validate
// their argument. A new directive adds its field to dir_conf, its unset
// value to create_dir_conf, its rule to merge_dir_conf and, when it takes a
// number, a slot with its bounds.
#include "config.h"

#include <apr_lib.h>
#include <apr_strings.h>

#include <cstring>
#include <exception>

#include "address.h"
#include "module.h"
#include "phase.h"
#include "sample.h"

namespace vornex {
namespace module {

namespace {

// An unset field (-1) takes the base section's value.
template <typename T> T inherit(T add, T base) {
  return add != -1 ? add : base;
}
const char *inherit(const char *add, const char *base) {
  return add ? add : base;
}

} // namespace

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
  conf->max_checks = -1;
  conf->max_checks_percent = 0;
  conf->failure_mode = -1;
  conf->failure_status = 0;
  conf->tls_ca_file = nullptr;
  conf->tls_certificate_file = nullptr;
  conf->tls_key_file = nullptr;
  conf->tls_verify = -1;
  conf->tls = nullptr;
  conf->enforce = -1;
  conf->sample_ppm = -1;
  conf->phase = -1;
  return conf;
}

void *merge_dir_conf(apr_pool_t *pool, void *base_conf, void *add_conf) {
  const auto *base = static_cast<const dir_conf *>(base_conf);
  const auto *add = static_cast<const dir_conf *>(add_conf);
  auto *conf = static_cast<dir_conf *>(apr_pcalloc(pool, sizeof(dir_conf)));
  conf->primary_server = inherit(add->primary_server, base->primary_server);
  conf->secondary_server =
      inherit(add->secondary_server, base->secondary_server);
  conf->cache_results = inherit(add->cache_results, base->cache_results);
  // The expression and its compiled form come from the same section.
  const dir_conf *skip = add->skip_uri ? add : base;
  conf->skip_uri = skip->skip_uri;
  conf->skip_regex = skip->skip_regex;
  conf->enabled = inherit(add->enabled, base->enabled);
  conf->cgi_compat = inherit(add->cgi_compat, base->cgi_compat);
  conf->timeout_ms = inherit(add->timeout_ms, base->timeout_ms);
  conf->retry_seconds = inherit(add->retry_seconds, base->retry_seconds);
  conf->body_in_memory_limit =
      inherit(add->body_in_memory_limit, base->body_in_memory_limit);
  conf->keep_alive = inherit(add->keep_alive, base->keep_alive);
  // A number or a percentage, and a mode with its status, come from the
  // same section.
  const dir_conf *cap = add->max_checks != -1 ? add : base;
  conf->max_checks = cap->max_checks;
  conf->max_checks_percent = cap->max_checks_percent;
  const dir_conf *policy = add->failure_mode != -1 ? add : base;
  conf->failure_mode = policy->failure_mode;
  conf->failure_status = policy->failure_status;
  conf->tls_ca_file = inherit(add->tls_ca_file, base->tls_ca_file);
  conf->tls_certificate_file =
      inherit(add->tls_certificate_file, base->tls_certificate_file);
  conf->tls_key_file = inherit(add->tls_key_file, base->tls_key_file);
  conf->tls_verify = inherit(add->tls_verify, base->tls_verify);
  // Only a server's own section gets loaded settings (at the end of the
  // configuration load); the sections inside it take that server's.
  conf->tls = add->tls ? add->tls : base->tls;
  conf->enforce = inherit(add->enforce, base->enforce);
  conf->sample_ppm = inherit(add->sample_ppm, base->sample_ppm);
  conf->phase = inherit(add->phase, base->phase);
  return conf;
}

const dir_conf *effective_conf(const request_rec *r) {
  return static_cast<const dir_conf *>(
      ap_get_module_config(r->per_dir_config, &vornex_module));
}

namespace {

// The slot at offset `info` of a directive's setter.
template <typename T> T &slot_of(cmd_parms *cmd, void *conf_ptr) {
  return *reinterpret_cast<T *>(static_cast<char *>(conf_ptr) +
                                reinterpret_cast<size_t>(cmd->info));
}

} // namespace

// An address without a scheme is stored unread, as it always was: it is
// read per request, and one that does not parse fails its attempt then.
const char *set_server(cmd_parms *cmd, void *conf_ptr, const char *address) {
  if (has_scheme(address)) {
    try {
      parse_server_address(address);
    } catch (const std::exception &e) {
      return apr_pstrcat(cmd->pool, cmd->cmd->name, " ", e.what(), nullptr);
    }
  }
  slot_of<const char *>(cmd, conf_ptr) = address;
  return nullptr;
}

const char *set_tls_file(cmd_parms *cmd, void *conf_ptr, const char *path) {
  const char *full = ap_server_root_relative(cmd->pool, path);
  if (!full)
    return apr_pstrcat(cmd->pool, cmd->cmd->name, ": the path ", path,
                       " is not valid", nullptr);
  apr_file_t *file = nullptr;
  const apr_status_t status =
      apr_file_open(&file, full, APR_READ, APR_OS_DEFAULT, cmd->temp_pool);
  if (status != APR_SUCCESS) {
    char reason[120];
    return apr_psprintf(cmd->pool, "%s: cannot read %s: %s", cmd->cmd->name,
                        full, apr_strerror(status, reason, sizeof reason));
  }
  apr_file_close(file);
  slot_of<const char *>(cmd, conf_ptr) = full;
  return nullptr;
}

// An expression that does not compile is remembered as such and reported
// per request.
const char *set_skip(cmd_parms *cmd, void *conf_ptr, const char *expression) {
  auto *conf = static_cast<dir_conf *>(conf_ptr);
  note_skip_configured();
  conf->skip_uri = expression;
  conf->skip_regex = ap_pregcomp(cmd->pool, expression, AP_REG_ICASE);
  return nullptr;
}

const number_slot timeout_slot = {
    offsetof(dir_conf, timeout_ms), 1, 30000,
    "VornexTimeout takes a number of milliseconds from 1 to 30000"};
const number_slot retry_slot = {
    offsetof(dir_conf, retry_seconds), 0, 86400,
    "VornexRetry takes a number of seconds from 0 to 86400"};
const number_slot body_limit_slot = {
    offsetof(dir_conf, body_in_memory_limit), 0, APR_INT64_MAX,
    "VornexBodyInMemoryLimit takes a number of bytes (0: no limit)"};

namespace {

// A whole decimal number from `low` to `high` followed by `suffix`, or -1.
apr_off_t parse_number(const char *text, apr_off_t low, apr_off_t high,
                       const char *suffix = "") {
  char *end = nullptr;
  apr_off_t value = -1;
  if (!apr_isdigit(*text) ||
      apr_strtoff(&value, text, &end, 10) != APR_SUCCESS ||
      std::strcmp(end, suffix) != 0 || value < low || value > high)
    return -1;
  return value;
}

} // namespace

const char *set_number(cmd_parms *cmd, void *conf_ptr, const char *text) {
  const auto *slot = static_cast<const number_slot *>(cmd->info);
  const apr_off_t value = parse_number(text, slot->low, slot->high);
  if (value < 0)
    return slot->error;
  *reinterpret_cast<apr_off_t *>(static_cast<char *>(conf_ptr) + slot->offset) =
      value;
  return nullptr;
}

const char *set_max_checks(cmd_parms *, void *conf_ptr, const char *text) {
  auto *conf = static_cast<dir_conf *>(conf_ptr);
  const bool percent = text[0] && text[std::strlen(text) - 1] == '%';
  const apr_off_t value =
      percent ? parse_number(text, 1, 100, "%") : parse_number(text, 1, 100000);
  if (value < 0)
    return "VornexMaxChecks takes a number of checks from 1 to 100000, or a "
           "percentage of the process's threads from 1% to 100%";
  conf->max_checks = value;
  conf->max_checks_percent = percent ? 1 : 0;
  return nullptr;
}

const char *set_check(cmd_parms *cmd, void *conf_ptr, int on) {
  note_check_configured(on != 0);
  return ap_set_flag_slot(cmd, conf_ptr, on);
}

const char *set_phase(cmd_parms *, void *conf_ptr, const char *phase) {
  auto *conf = static_cast<dir_conf *>(conf_ptr);
  if (!ap_cstr_casecmp(phase, "early")) {
    note_early_configured();
    conf->phase = phase_early;
  } else if (!ap_cstr_casecmp(phase, "content"))
    conf->phase = phase_content;
  else
    return "VornexPhase takes early or content";
  return nullptr;
}

const char *set_failure_mode(cmd_parms *, void *conf_ptr, const char *mode,
                             const char *status) {
  auto *conf = static_cast<dir_conf *>(conf_ptr);
  const char *const error = "VornexFailureMode takes open, or closed with an "
                            "optional status from 400 to 599";
  if (!ap_cstr_casecmp(mode, "open") && !status) {
    conf->failure_mode = 0;
    conf->failure_status = 0;
    return nullptr;
  }
  if (ap_cstr_casecmp(mode, "closed"))
    return error;
  const apr_off_t code =
      status ? parse_number(status, 400, 599) : default_failure_status;
  if (code < 0)
    return error;
  conf->failure_mode = 1;
  conf->failure_status = static_cast<int>(code);
  return nullptr;
}

bool rollout_named = false;

const char *set_enforce(cmd_parms *, void *conf_ptr, int on) {
  static_cast<dir_conf *>(conf_ptr)->enforce = on ? 1 : 0;
  if (!on)
    rollout_named = true;
  return nullptr;
}

const char *set_sample(cmd_parms *, void *conf_ptr, const char *text) {
  const long ppm = parse_sample(text);
  if (ppm < 0)
    return "VornexSample takes a percentage from 0 to 100, with at most four "
           "decimals";
  static_cast<dir_conf *>(conf_ptr)->sample_ppm = ppm;
  rollout_named = true;
  return nullptr;
}

int checks_cap(const dir_conf *conf, int basis) {
  if (conf->max_checks <= 0)
    return 0;
  if (!conf->max_checks_percent)
    return static_cast<int>(conf->max_checks);
  const apr_off_t share = (conf->max_checks * basis + 99) / 100;
  return share > 0 ? static_cast<int>(share) : 1;
}

} // namespace module
} // namespace vornex
