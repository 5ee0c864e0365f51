#include "marks.h"

#include <chrono>
#include <cstring>

namespace vornex {
namespace module {

namespace {

// A probe under way that has not been given up. Another thread may have
// read the clock after this one did and probed since: a probe newer than
// `now` is under way too.
bool probe_alive(mark_time probe, mark_time now) {
  return probe != 0 && (now < probe || now - probe < lost_probe_after);
}

} // namespace

mark_time mark_clock() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  // Never 0, which stands for none.
  return static_cast<mark_time>(
             std::chrono::duration_cast<std::chrono::microseconds>(since)
                 .count()) |
         1;
}

server_access consider(server_mark *mark, mark_time now) {
  const mark_time until = apr_atomic_read64(&mark->until);
  if (until == 0)
    return server_access::ask;
  if (now < until)
    return server_access::pass_over;
  const mark_time probe = apr_atomic_read64(&mark->probe);
  if (probe_alive(probe, now))
    return server_access::pass_over;
  // Only one request wins the exchange from the value it read.
  if (apr_atomic_cas64(&mark->probe, now, probe) != probe)
    return server_access::pass_over;
  // Another probe may have reported in between: lifted the mark, or
  // renewed it.
  const mark_time current = apr_atomic_read64(&mark->until);
  if (current == 0 || now < current) {
    apr_atomic_cas64(&mark->probe, 0, now);
    return current == 0 ? server_access::ask : server_access::pass_over;
  }
  return server_access::probe;
}

bool mark_failed(server_mark *mark, mark_time now, mark_time period,
                 bool probe) {
  const mark_time until = now + (period ? period : 1);
  if (probe) {
    apr_atomic_set64(&mark->until, until);
    apr_atomic_set64(&mark->probe, 0);
    return true;
  }
  const mark_time old = apr_atomic_read64(&mark->until);
  // Already marked, or the period has ended and the probe decides.
  if (old != 0)
    return false;
  return apr_atomic_cas64(&mark->until, until, 0) == 0;
}

void probe_succeeded(server_mark *mark) {
  apr_atomic_set64(&mark->until, 0);
  apr_atomic_set64(&mark->probe, 0);
}

mark_state state_of(server_mark *mark, mark_time now) {
  const mark_time until = apr_atomic_read64(&mark->until);
  if (until == 0)
    return mark_state::clear;
  if (now >= until && probe_alive(apr_atomic_read64(&mark->probe), now))
    return mark_state::probing;
  return mark_state::marked;
}

const char *state_name(mark_state state) {
  switch (state) {
  case mark_state::clear:
    return "clear";
  case mark_state::marked:
    return "marked";
  default:
    return "probing";
  }
}

server_mark *find_mark(const mark_table &table, const char *address) {
  if (!address)
    return nullptr;
  for (size_t i = 0; i < table.count; ++i)
    if (std::strcmp(table.addresses[i], address) == 0)
      return &table.marks[i];
  return nullptr;
}

} // namespace module
} // namespace vornex
