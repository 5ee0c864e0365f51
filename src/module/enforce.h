// Turning a verdict into the fate of the request: the module's own answer
// (challenge page, redirect, rate limit), the server's 403, or the request
// passed on, with an inject verdict's headers.
#ifndef VORNEX_ENFORCE_H
#define VORNEX_ENFORCE_H

#include <httpd.h>

#include <util_filter.h>

#include "api.h"

namespace vornex {
namespace module {

// The handler's result for verdict `code`, with what the record holds.
int enforce(request_rec *r, api &record, int code);

// Puts an inject verdict given to `root`, the start of the redirect chain,
// into the response headers of its internal redirect `r`.
void carry_injected(request_rec *r, const request_rec *root);

// The output filter that sees an inject verdict's headers into the response
// whatever serves the request (see enforce.cpp).
extern const char inject_filter_name[];
apr_status_t inject_output(ap_filter_t *f, apr_bucket_brigade *bb);

} // namespace module
} // namespace vornex

#endif
