// The counters and server marks in Prometheus's text exposition format
// (version 0.0.4), for the vornex-metrics handler. Only APR is used here, so
// tests reach it without a server.
#ifndef VORNEX_METRICS_H
#define VORNEX_METRICS_H

#include <string>

#include "counters.h"
#include "marks.h"

namespace vornex {
namespace module {

// The handler name that serves the page (SetHandler vornex-metrics), and
// the page's content type.
extern const char metrics_handler_name[];
extern const char metrics_content_type[];

// The page for `block` and the marks of `marks` at `now`. The counters are
// read one by one with atomic reads and no lock; the page is consistent in
// itself (a histogram's buckets add up to its count, enforced and
// monitored outcomes never go below zero), not a snapshot of one instant.
std::string exposition(const counter_block &block, const mark_table &marks,
                       mark_time now);

} // namespace module
} // namespace vornex

#endif
