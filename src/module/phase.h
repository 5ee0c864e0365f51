// When a main request is screened. The content handler screens by default;
// two earlier points take the request when something would otherwise answer
// it before the content phase:
//   - mod_cache's quick handler, which serves a cached page before the
//     server has looked at the request's sections: a GET whose <Location>
//     and server sections switch screening on is screened just ahead of it;
//   - VornexPhase early: after the request's sections are known and before
//     authentication and authorisation (the header_parser hook).
// Whichever point screens a request first, the others leave it alone: one
// check per client request. What a request carries between these points
// (its screening, the client's header lines, an inject verdict's headers)
// is its request_state.
#ifndef VORNEX_PHASE_H
#define VORNEX_PHASE_H

#include <httpd.h>

#include "module.h"

namespace vornex {
namespace module {

// What the built-in skip rule says of a request's target, once asked.
enum class rule_answer : unsigned char { unknown, screens, skips };

struct request_state {
  bool screened; // a check point took the request
  rule_answer rule;
  // The entries of the header table as the client sent them.
  const apr_array_header_t *sent;
  apr_table_t *injected; // an inject verdict's headers, or null
};

// The request's state, or null when it has none. Asked by several hooks of
// every request, so it costs no call.
inline const request_state *state_of(const request_rec *r) {
  return static_cast<const request_state *>(
      ap_get_module_config(r->request_config, &vornex_module));
}

// The request's state, made on first use.
request_state *own_state(const request_rec *r);

// The header lines the client sent, taken before any module changed them,
// or the entries of the request's header table as it is.
const apr_array_header_t *sent_headers(const request_rec *r);

// Hooks.
int take_headers(request_rec *r);                    // post_read_request
int screen_before_cache(request_rec *r, int lookup); // quick_handler
int screen_early(request_rec *r);                    // header_parser
void note_check_configured(bool on);                 // VornexCheck's setter
void note_skip_configured();                         // VornexSkip's setter
void note_early_configured();                        // VornexPhase early's
void start_configuration();                          // pre_config
// Whether the configuration read, or a .htaccess file it allows, may set
// VornexPhase early: only then does screen_early need its hook.
bool early_phase_possible();                               // pre_config
int check_configuration(apr_pool_t *ptemp, server_rec *s); // post_config

} // namespace module
} // namespace vornex

#endif
