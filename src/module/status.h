// The module's counters in shared memory, made at each configuration load,
// and their section of mod_status's page. What is counted, and how, is
// counters.h's.
#ifndef VORNEX_STATUS_H
#define VORNEX_STATUS_H

#include <httpd.h>

#include "counters.h"

namespace vornex {
namespace module {

// The counters of the current configuration, or null when none could be
// made; written before requests are served, only read afterwards.
extern counter_block *shared_counters;

// Makes a new zeroed block in shared memory, which the worker processes
// forked afterwards inherit.
int make_counters(apr_pool_t *pconf, server_rec *s);

// Writes the counters as a section of mod_status's page, or as its
// "?auto" lines.
int show_counters(request_rec *r, int flags);

} // namespace module
} // namespace vornex

#endif
