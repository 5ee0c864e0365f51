// What the worker processes share, made in shared memory at each
// configuration load: the counters and the check servers' marks; and
// mod_status's view of them. What is counted, and how, is counters.h's; how
// a mark works is marks.h's.
#ifndef VORNEX_STATUS_H
#define VORNEX_STATUS_H

#include <httpd.h>

#include "counters.h"
#include "marks.h"

namespace vornex {
namespace module {

// The counters of the current configuration, or null when none could be
// made; written before requests are served, only read afterwards.
extern counter_block *shared_counters;

// The marks of every check server the configuration names; empty when none
// could be made. Written before requests are served, like the counters.
extern mark_table shared_marks;

// Makes a new zeroed counter block and mark table in shared memory, which
// the worker processes forked afterwards inherit.
int make_shared(apr_pool_t *pconf, server_rec *s);

// Writes the counters as a section of mod_status's page, or as its
// "?auto" lines.
int show_counters(request_rec *r, int flags);

// Serves the counters and marks in Prometheus's text format
// (SetHandler vornex-metrics).
int show_metrics(request_rec *r);

} // namespace module
} // namespace vornex

#endif
