// What the module counts across all worker processes and threads: one block
// of 64-bit counters in shared memory, updated with APR's atomic operations
// and read for mod_status. Only APR is used here, so tests reach it without a
// server.
#ifndef VORNEX_COUNTERS_H
#define VORNEX_COUNTERS_H

#include <apr_atomic.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vornex {
namespace module {

// What became of a request, as VORNEX_VERDICT names it: the eight verdicts
// by their codes, then the two outcomes without a verdict.
enum class outcome : int {
  pass,
  block,
  challenge,
  redirect,
  captcha,
  return_fake_data,
  limit,
  inject,
  unscreened, // no server gave a verdict: served unscreened
  skipped,    // the skip pattern matched: no check
  busy,       // the cap on checks in flight was reached: served unscreened
  refused,    // no verdict, and the failure policy answered the request
};
const int outcome_count = 12;

// The outcome for a verdict code; a code outside 0..7 is enforced as a
// block.
outcome outcome_of(int code);
const char *outcome_name(outcome o);

// Why an attempt gave no verdict, in the order of the counters.
enum class failure_kind : int { connection, timeout, answer, verdict };
const int failure_kind_count = 4;

// Upper bounds of the check-time histogram's buckets, in microseconds; a
// last bucket takes everything above the last bound.
const uint64_t check_time_bounds[] = {
    100,   250,    500,    1000,   2500,    5000,    10000,   25000,
    50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};
const int check_time_buckets =
    sizeof(check_time_bounds) / sizeof(check_time_bounds[0]) + 1;

// The bucket a check time falls in: the first whose bound it does not
// exceed.
int check_time_bucket(uint64_t microseconds);

// The counters, laid out in shared memory; all zero at start.
struct counter_block {
  apr_uint64_t screened; // requests that went on to a check
  apr_uint64_t outcomes[outcome_count];
  apr_uint64_t failovers; // secondary asked after the primary failed
  apr_uint64_t failed[failure_kind_count]; // failed attempts, by kind
  apr_uint64_t over_cap;   // decided without a check: no place under the cap
  apr_uint64_t in_flight;  // a gauge: checks being made now
  apr_uint64_t body_bytes; // request body bytes sent in check calls
  apr_uint64_t check_time[check_time_buckets];
  apr_uint64_t check_time_total; // microseconds, over all checked requests
  // Of the outcomes above, those of requests in sections with
  // VornexEnforce Off: found, counted, not enforced. Counted after the
  // outcome, so that a reader who takes this first never sees more here.
  apr_uint64_t monitored[outcome_count];
  // Requests VornexSample left without a check.
  apr_uint64_t unsampled;
};

// Adds to a counter in the shared segment, as apr_atomic_add64 does (a
// sequentially consistent add), without a call on every request.
inline void count(apr_uint64_t *counter, uint64_t n = 1) {
  __atomic_fetch_add(counter, n, __ATOMIC_SEQ_CST);
}

// Counts one screened request that ended in `o` after `microseconds` in the
// check call(s).
void count_checked(counter_block *block, outcome o, uint64_t microseconds);

// Counts one screened request of a section with VornexEnforce Off that
// ended in `o` after `microseconds`.
void count_monitored(counter_block *block, outcome o, uint64_t microseconds);

// (name, value) of every counter in the order the status page shows them;
// names are as in "server-status?auto" ("VornexScreened", ...).
std::vector<std::pair<std::string, uint64_t>>
counter_lines(const counter_block &block);

// (name, value) of the counters of VornexEnforce Off and VornexSample, which
// the status page shows after the others: "VornexMonitoredPass" ... one per
// outcome that a check can have, then "VornexUnsampled".
std::vector<std::pair<std::string, uint64_t>>
rollout_lines(const counter_block &block);

// The label of outcome `o` in the counters' names ("ReturnFakeData").
const char *outcome_label(outcome o);

} // namespace module
} // namespace vornex

#endif
