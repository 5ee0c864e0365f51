// One screened request's check: the check record (facts, request line,
// header lines and body), the call to the primary server and, after a
// failure, to the secondary one, with the servers marked as failed
// (VornexRetry) passed over, the cap on checks in flight (VornexMaxChecks)
// and the failure policy (VornexFailureMode) for a request left without a
// verdict; and the per-process state the calls use.
#ifndef VORNEX_DISPATCH_H
#define VORNEX_DISPATCH_H

#include <httpd.h>

#include <cstdint>

#include "config.h"
#include "counters.h"

namespace vornex {
namespace module {

// What became of one screened request, for its notes and the counters.
struct check_report {
  outcome result = outcome::unscreened;
  int server = -1;      // index of the server that gave the verdict
  apr_time_t spent = 0; // in the check calls
  uint64_t body_bytes = 0;
};

// Checks the request and enforces the verdict; returns the handler's result.
// When no server gives a verdict the request is served unscreened.
int check_request(request_rec *r, const dir_conf *conf, check_report &rep);

// Takes mod_ssl's variable lookup, when mod_ssl is loaded.
void find_ssl_lookup();

// Makes the worker process's kept connections and call watch, ended with
// `pchild`.
void start_process(apr_pool_t *pchild, server_rec *s);

} // namespace module
} // namespace vornex

#endif
