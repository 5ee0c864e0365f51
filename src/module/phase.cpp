// The check points of a main request before its content phase, and what the
// request carries between them.
#include "phase.h"

#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_request.h>
#include <util_cfgtree.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "config.h"
#include "module.h"
#include "screen.h"

namespace vornex {
namespace module {

namespace {

// Whether some section of the configuration has VornexCheck On: only then
// are the client's header lines worth a copy. Written while the
// configuration is read (and by a .htaccess file, which can only set it).
std::atomic<bool> check_configured{false};

// Whether some section sets VornexSkip: until one does, the built-in rule
// decides every request's skipping, and it reads the target the client sent,
// which nothing changes, so it can be asked when the head is read.
std::atomic<bool> skip_configured{false};

// The state of a request whose target the built-in rule skips, shared until
// a hook needs one of its own: most such requests (a site's images, styles
// and scripts) need none. Never written: own_state copies it.
request_state rule_skipped_state = {false, rule_answer::skips, nullptr,
                                    nullptr};

// Whether some section sets VornexPhase early: until one does, the
// header_parser hook has nothing to look up.
std::atomic<bool> early_configured{false};

// Whether mod_cache is loaded and some server of this configuration lets it
// answer from its quick handler (CacheQuickHandler On, its default).
bool cache_quick = false;

// Screens a request at one of the check points, once.
int screen_here(request_rec *r) {
  own_state(r)->screened = true;
  return screen(r);
}

bool already_screened(const request_rec *r) {
  const request_state *state = state_of(r);
  return state && state->screened;
}

// ---- what the configuration tree says ------------------------------------

bool named(const ap_directive_t *d, const char *name) {
  return d->directive && ap_cstr_casecmp(d->directive, name) == 0;
}

bool says_on(const ap_directive_t *d) {
  return d->args && ap_cstr_casecmpn(d->args, "on", 2) == 0 &&
         (d->args[2] == '\0' || d->args[2] == ' ' || d->args[2] == '\t');
}

// Sections that Apache applies only once it has mapped the request to a
// file, or whose conditions it tests after the quick handler: a VornexCheck
// there is not known ahead of mod_cache's quick handler.
bool late_section(const ap_directive_t *d) {
  for (const char *name : {"<Directory", "<DirectoryMatch", "<Files",
                           "<FilesMatch", "<If", "<ElseIf", "<Else"})
    if (named(d, name))
      return true;
  return false;
}

struct tree_facts {
  bool quick_off_main = false; // CacheQuickHandler Off outside virtual hosts
  bool quick_on = false;       // CacheQuickHandler On anywhere
  const ap_directive_t *late_check = nullptr; // first VornexCheck there
  const ap_directive_t *late_in = nullptr;    // ... and its section
};

void walk(const ap_directive_t *d, bool in_vhost, const ap_directive_t *late,
          tree_facts &facts) {
  for (; d; d = d->next) {
    if (named(d, "CacheQuickHandler")) {
      if (says_on(d))
        facts.quick_on = true;
      else if (!in_vhost)
        facts.quick_off_main = true;
    } else if (named(d, "VornexCheck") && late && !facts.late_check) {
      facts.late_check = d;
      facts.late_in = late;
    }
    if (d->first_child)
      walk(d->first_child, in_vhost || named(d, "<VirtualHost"),
           late_section(d) ? d : late, facts);
  }
}

// Whether some section, or a .htaccess file that a section lets set it,
// may say VornexPhase early.
bool early_possible(const ap_directive_t *d) {
  for (; d; d = d->next) {
    if (named(d, "VornexPhase"))
      return true;
    if ((named(d, "AllowOverride") || named(d, "AllowOverrideList")) &&
        (!d->args || ap_cstr_casecmp(d->args, "None") != 0))
      return true;
    if (d->first_child && early_possible(d->first_child))
      return true;
  }
  return false;
}

} // namespace

request_state *own_state(const request_rec *r) {
  auto *state = static_cast<request_state *>(
      ap_get_module_config(r->request_config, &vornex_module));
  if (!state || state == &rule_skipped_state) {
    auto *made = static_cast<request_state *>(
        apr_palloc(r->pool, sizeof(request_state)));
    *made = state ? *state : request_state{};
    ap_set_module_config(r->request_config, &vornex_module, made);
    state = made;
  }
  return state;
}

const apr_array_header_t *sent_headers(const request_rec *r) {
  const request_state *state = state_of(r);
  return state && state->sent ? state->sent : apr_table_elts(r->headers_in);
}

// Runs first among the modules that read the request's head: mod_remoteip,
// mod_headers' early RequestHeader, and later mod_auth_form (which sets
// Content-Length to what it left of the body) change the table in place.
// A request the built-in rule skips is never checked, so its lines are not
// copied; the rule's answer is kept for the screen either way.
int take_headers(request_rec *r) {
  if (r->main || r->prev || !check_configured.load(std::memory_order_relaxed))
    return DECLINED;
  rule_answer rule = rule_answer::unknown;
  if (!skip_configured.load(std::memory_order_relaxed)) {
    if (builtin_rule_skips(r)) {
      ap_set_module_config(r->request_config, &vornex_module,
                           &rule_skipped_state);
      return DECLINED;
    }
    rule = rule_answer::screens;
  }
  // The state and the entries in one block. The entries alone (each a name
  // and a value the table points to, which a change to the table replaces
  // rather than rewrites): a table's copy would copy its index as well,
  // which nothing here looks up.
  const apr_array_header_t *entries = apr_table_elts(r->headers_in);
  const size_t bytes = static_cast<size_t>(entries->nelts) *
                       static_cast<size_t>(entries->elt_size);
  struct state_and_entries {
    request_state state;
    apr_array_header_t sent;
  };
  auto *block = static_cast<state_and_entries *>(
      apr_palloc(r->pool, sizeof(state_and_entries) + bytes));
  char *copied = reinterpret_cast<char *>(block + 1);
  if (bytes)
    std::memcpy(copied, entries->elts, bytes);
  block->sent = *entries;
  block->sent.pool = r->pool;
  block->sent.nalloc = entries->nelts;
  block->sent.elts = copied;
  block->state = request_state{false, rule, &block->sent, nullptr};
  ap_set_module_config(r->request_config, &vornex_module, &block->state);
  return DECLINED;
}

// mod_cache's quick handler answers a GET from its cache before the server
// has walked the request's sections, so no later hook would see it. Just
// ahead of it, the request's <Location> sections (the server walks them
// again later, from the same cache) tell whether screening is on. Sections
// that need the file the request maps to are not known yet (start-up says
// so when they switch screening on).
int screen_before_cache(request_rec *r, int lookup) {
  if (!cache_quick || lookup || r->main || r->prev ||
      r->method_number != M_GET || already_screened(r))
    return DECLINED;
  ap_conf_vector_t *const server_sections = r->per_dir_config;
  if (ap_location_walk(r) != OK) {
    r->per_dir_config = server_sections;
    return DECLINED;
  }
  const dir_conf *conf = effective_conf(r);
  if (!conf || conf->enabled != 1) {
    r->per_dir_config = server_sections;
    return DECLINED;
  }
  const int result = screen_here(r);
  // A request answered here keeps its sections for its error document; one
  // passed on goes through the server's phases as it would have.
  if (result == DECLINED)
    r->per_dir_config = server_sections;
  return result;
}

// VornexPhase early: the request's sections are known, authentication and
// authorisation are still to come. A request answered here (a challenge
// page, a redirect) is done.
int screen_early(request_rec *r) {
  if (r->main || r->prev || !early_configured.load(std::memory_order_relaxed))
    return DECLINED;
  const dir_conf *conf = effective_conf(r);
  if (!conf || conf->phase != phase_early || conf->enabled != 1 ||
      already_screened(r))
    return DECLINED;
  const int result = screen_here(r);
  return result == OK ? DONE : result;
}

void note_check_configured(bool on) {
  if (on)
    check_configured.store(true, std::memory_order_relaxed);
}

void note_early_configured() {
  early_configured.store(true, std::memory_order_relaxed);
}

void note_skip_configured() {
  skip_configured.store(true, std::memory_order_relaxed);
}

void start_configuration() {
  check_configured.store(false, std::memory_order_relaxed);
  skip_configured.store(false, std::memory_order_relaxed);
  early_configured.store(false, std::memory_order_relaxed);
  cache_quick = false;
}

bool early_phase_possible() { return early_possible(ap_conftree); }

int check_configuration(apr_pool_t *, server_rec *s) {
  if (!ap_find_linked_module("mod_cache.c"))
    return OK;
  tree_facts facts;
  walk(ap_conftree, false, nullptr, facts);
  cache_quick = facts.quick_on || !facts.quick_off_main;
  // Said once, at the configuration load that serves, not at the first
  // one of start-up.
  if (cache_quick && facts.late_check &&
      ap_state_query(AP_SQ_MAIN_STATE) != AP_SQ_MS_CREATE_PRE_CONFIG)
    VORNEX_LOG(APLOG_WARNING, s,
               "VornexCheck %s in the %s %s section at line %d of %s is not "
               "known ahead of mod_cache's quick handler, which serves pages "
               "there unscreened or screens them as the server and "
               "<Location> sections say: set CacheQuickHandler Off, or set "
               "VornexCheck in a server, virtual host or <Location> section",
               says_on(facts.late_check) ? "On" : "Off",
               facts.late_in->directive, facts.late_in->args,
               facts.late_check->line_num, facts.late_check->filename);
  return OK;
}

} // namespace module
} // namespace vornex
