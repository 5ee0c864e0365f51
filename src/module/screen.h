// The screening of a main request, from its effective configuration to its
// result: the gate (debug lines, configuration errors, skip patterns), the
// check and its enforcement, and what the request then carries for the
// access log and the application.
#ifndef VORNEX_SCREEN_H
#define VORNEX_SCREEN_H

#include <httpd.h>

namespace vornex {
namespace module {

// Whether the built-in skip pattern skips the request's target (the
// target the client sent, as the server resolves it).
bool builtin_rule_skips(request_rec *r);

// The handler's work on a main request.
int screen(request_rec *r);

// The handler's work on a sub-request or internal redirect, which is never
// screened: a redirect carries what screening found at the start of its
// chain.
int follow(request_rec *r);

} // namespace module
} // namespace vornex

#endif
