// A screened request's body on the server's side: its capture for the check
// (parked in a VORNEX_IN instance on top of the request's protocol filters,
// in memory or in a spool file, where the request's internal redirects and
// sub-requests reach it too) and the VORNEX_IN filter that hands it to the
// application. The bookkeeping of the parked buckets is relay.h's.
#ifndef VORNEX_BODY_H
#define VORNEX_BODY_H

#include <httpd.h>

#include <util_filter.h>

#include <cstdint>

#include "api.h"

namespace vornex {
namespace module {

extern const char filter_name[];

// Reads the whole body through the protocol filters below a new VORNEX_IN
// instance, parking every bucket in its context and appending the bytes to
// the record.
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

} // namespace module
} // namespace vornex

#endif
