// Check servers marked as failed (VornexRetry), shared by every worker
// process of the server: one record per server address in shared memory,
// changed only with atomic operations. While a server is marked no request
// asks it; when the period ends, exactly one request, server-wide, asks it
// as a probe, and only the probe's outcome clears or renews the mark. Only
// APR is used here, so tests reach it without a server.
#ifndef VORNEX_MARKS_H
#define VORNEX_MARKS_H

#include <apr_atomic.h>

#include <cstddef>
#include <cstdint>

namespace vornex {
namespace module {

// Times are microseconds of the system's monotonic clock, which all
// processes share; 0 stands for none.
using mark_time = apr_uint64_t;

struct server_mark {
  apr_uint64_t until; // the mark holds before this time; 0: clear
  apr_uint64_t probe; // when the probe now under way was sent; 0: none
};

// A probe that has not reported after this long is taken to be lost (its
// process ended with it) and another request may probe. No attempt lasts
// longer than the largest time limit of an attempt (30 s).
const mark_time lost_probe_after = 31 * 1000000ULL;

enum class mark_state { clear, marked, probing };
// What a request may do with a server.
enum class server_access {
  ask,       // not marked
  probe,     // the period has ended and this request is the probe
  pass_over, // marked, or another request is probing it
};

mark_time mark_clock();

// Whether a request may ask the server now; at most one request gets
// `probe` until that probe reports.
server_access consider(server_mark *mark, mark_time now);

// After an attempt that could not reach the server or ran out of time.
// A probe renews the mark; another request marks a server that is neither
// marked nor being probed. True when this call set the mark.
bool mark_failed(server_mark *mark, mark_time now, mark_time period,
                 bool probe);

// After the probe reached the server: the mark is cleared for everyone.
void probe_succeeded(server_mark *mark);

mark_state state_of(server_mark *mark, mark_time now);
const char *state_name(mark_state state);

// The marks of every server address the configuration names, and the
// addresses, in the same order.
struct mark_table {
  server_mark *marks; // in shared memory
  const char *const *addresses;
  size_t count;
};

// The mark of `address`, or null when the table has none.
server_mark *find_mark(const mark_table &table, const char *address);

} // namespace module
} // namespace vornex

#endif
