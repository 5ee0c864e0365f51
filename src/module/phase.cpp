// The check points of a main request before its content phase, and what the
// request carries between them.
#include "phase.h"

#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_request.h>
#include <util_cfgtree.h>

#include <atomic>
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

// Whether mod_cache is loaded and some server of this configuration lets it
// answer from its quick handler (CacheQuickHandler On, its default).
bool cache_quick = false;

// Screens a request at one of the check points, once.
int screen_here(request_rec *r) {
  state_of(r, true)->screened = true;
  return screen(r);
}

bool already_screened(const request_rec *r) {
  const request_state *state = state_of(r, false);
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

} // namespace

request_state *state_of(const request_rec *r, bool make) {
  auto *state = static_cast<request_state *>(
      ap_get_module_config(r->request_config, &vornex_module));
  if (!state && make) {
    state = static_cast<request_state *>(
        apr_pcalloc(r->pool, sizeof(request_state)));
    ap_set_module_config(r->request_config, &vornex_module, state);
  }
  return state;
}

const apr_array_header_t *sent_headers(const request_rec *r) {
  const request_state *state = state_of(r, false);
  return state && state->sent ? state->sent : apr_table_elts(r->headers_in);
}

// Runs first among the modules that read the request's head: mod_remoteip,
// mod_headers' early RequestHeader, and later mod_auth_form (which sets
// Content-Length to what it left of the body) change the table in place.
int take_headers(request_rec *r) {
  if (r->main || r->prev || !check_configured.load(std::memory_order_relaxed))
    return DECLINED;
  // The entries alone (each a name and a value the table points to, which a
  // change to the table replaces rather than rewrites): a table's copy
  // would copy its index as well, which nothing here looks up.
  state_of(r, true)->sent =
      apr_array_copy(r->pool, apr_table_elts(r->headers_in));
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
  if (r->main || r->prev)
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

void start_configuration() {
  check_configured.store(false, std::memory_order_relaxed);
  cache_quick = false;
}

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
