// A screened request's body on the server's side: its capture for the check
// (parked in a VORNEX_IN instance, in memory or in a spool file), the
// VORNEX_IN filter that hands it to the application, and the hand-off to the
// internal redirects and CGI sub-requests of the request. The bookkeeping of
// the parked buckets is relay.h's.
#ifndef VORNEX_BODY_H
#define VORNEX_BODY_H

#include <httpd.h>

#include <util_filter.h>

#include <cstdint>

#include "api.h"

namespace vornex {
namespace module {

extern const char filter_name[];

// Reads the whole body through the filters below a new VORNEX_IN instance,
// parking every bucket in its context and appending the bytes to the record.
// A body longer than `limit` bytes (0: no limit) is parked, and sent to the
// check service, from an unlinked temporary file instead. Returns the status
// of the last read; `body_bytes` receives the body's length.
apr_status_t capture_body(request_rec *r, api &record, apr_off_t limit,
                          uint64_t *body_bytes);

// The VORNEX_IN filter: hands the parked body to whoever reads the request's
// input filters, then passes reads through.
apr_status_t relay_input(ap_filter_t *f, apr_bucket_brigade *bb,
                         ap_input_mode_t mode, apr_read_type_e block,
                         apr_off_t readbytes);

// Gives an internal redirect (or a CGI sub-request) a VORNEX_IN instance
// sharing the body parked at the start of its chain, when there is one.
void hand_off_body(request_rec *r, request_rec *root);

} // namespace module
} // namespace vornex

#endif
