#include "metrics.h"

#include <cinttypes>
#include <cstdio>

namespace vornex {
namespace module {

const char metrics_handler_name[] = "vornex-metrics";
const char metrics_content_type[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

uint64_t read(const apr_uint64_t &counter) {
  return apr_atomic_read64(const_cast<apr_uint64_t *>(&counter));
}

// A label value with backslash, double quote and line feed escaped.
std::string escaped(const char *text) {
  std::string out;
  for (const char *p = text; *p; ++p) {
    if (*p == '\\')
      out += "\\\\";
    else if (*p == '"')
      out += "\\\"";
    else if (*p == '\n')
      out += "\\n";
    else
      out += *p;
  }
  return out;
}

class page {
public:
  void family(const char *name, const char *type, const char *help) {
    text += "# HELP ";
    text += name;
    text += ' ';
    text += help;
    text += "\n# TYPE ";
    text += name;
    text += ' ';
    text += type;
    text += '\n';
  }
  // One sample: `labels` is empty or "name=\"value\",...".
  void sample(const char *name, const std::string &labels, uint64_t value) {
    char number[24];
    std::snprintf(number, sizeof number, "%" PRIu64, value);
    sample_text(name, labels, number);
  }
  void sample_text(const char *name, const std::string &labels,
                   const char *value) {
    text += name;
    if (!labels.empty())
      text += "{" + labels + "}";
    text += ' ';
    text += value;
    text += '\n';
  }
  std::string text;
};

// A time in microseconds as seconds, exactly.
std::string seconds(uint64_t microseconds) {
  char out[32];
  std::snprintf(out, sizeof out, "%" PRIu64 ".%06" PRIu64,
                microseconds / 1000000, microseconds % 1000000);
  return out;
}

// A bucket bound in microseconds as Prometheus writes `le`: "0.00025",
// "1", "2.5".
std::string bound(uint64_t microseconds) {
  char out[32];
  std::snprintf(out, sizeof out, "%g", static_cast<double>(microseconds) / 1e6);
  return out;
}

void outcomes(page &p, const counter_block &b) {
  p.family("vornex_requests_total", "counter",
           "Checked requests by outcome (VORNEX_VERDICT), and whether the "
           "outcome was enforced or only found (VornexEnforce Off).");
  for (int i = 0; i < outcome_count; ++i) {
    if (static_cast<outcome>(i) == outcome::skipped)
      continue;
    // Monitored first: it is counted after the outcome, so the outcome
    // read afterwards holds at least as many.
    const uint64_t monitored = read(b.monitored[i]);
    const uint64_t all = read(b.outcomes[i]);
    const std::string label = std::string("outcome=\"") +
                              outcome_name(static_cast<outcome>(i)) + "\"";
    p.sample("vornex_requests_total", label + ",enforced=\"true\"",
             all - monitored);
    p.sample("vornex_requests_total", label + ",enforced=\"false\"", monitored);
  }
  p.family("vornex_unchecked_total", "counter",
           "Requests in screened sections served without a check: the skip "
           "pattern matched, or VornexSample left them out.");
  p.sample("vornex_unchecked_total", "reason=\"skipped\"",
           read(b.outcomes[static_cast<int>(outcome::skipped)]));
  p.sample("vornex_unchecked_total", "reason=\"unsampled\"", read(b.unsampled));
}

// The counters and the gauge that take no label, in the page's order.
struct single {
  const char *name;
  const char *type;
  const char *help;
  apr_uint64_t counter_block::*value;
};
const single singles[] = {
    {"vornex_screened_total", "counter", "Requests that went on to a check.",
     &counter_block::screened},
    {"vornex_failovers_total", "counter",
     "Times the secondary server was asked after the primary failed.",
     &counter_block::failovers},
    {"vornex_over_cap_total", "counter",
     "Requests decided without a check because VornexMaxChecks was reached.",
     &counter_block::over_cap},
    {"vornex_check_body_bytes_total", "counter",
     "Request body bytes sent to check servers, per attempt.",
     &counter_block::body_bytes},
    {"vornex_checks_in_flight", "gauge",
     "Check calls being made now, over all worker processes.",
     &counter_block::in_flight},
};

void attempts(page &p, const counter_block &b) {
  for (const single &one : singles) {
    p.family(one.name, one.type, one.help);
    p.sample(one.name, "", read(b.*one.value));
  }
  static const char *const kinds[failure_kind_count] = {"connection", "timeout",
                                                        "answer", "verdict"};
  p.family("vornex_failed_attempts_total", "counter",
           "Check attempts that gave no verdict, by kind of failure.");
  for (int i = 0; i < failure_kind_count; ++i)
    p.sample("vornex_failed_attempts_total",
             std::string("kind=\"") + kinds[i] + "\"", read(b.failed[i]));
}

void histogram(page &p, const counter_block &b) {
  const char *const name = "vornex_check_duration_seconds";
  p.family(name, "histogram",
           "Time a checked request spent in its check calls "
           "(VORNEX_CHECK_TIME).");
  std::string bucket = std::string(name) + "_bucket";
  uint64_t cumulative = 0;
  for (int i = 0; i < check_time_buckets; ++i) {
    cumulative += read(b.check_time[i]);
    const std::string le = i < check_time_buckets - 1
                               ? bound(check_time_bounds[i])
                               : std::string("+Inf");
    p.sample(bucket.c_str(), "le=\"" + le + "\"", cumulative);
  }
  p.sample_text((std::string(name) + "_sum").c_str(), "",
                seconds(read(b.check_time_total)).c_str());
  p.sample((std::string(name) + "_count").c_str(), "", cumulative);
}

void server_marks(page &p, const mark_table &marks, mark_time now) {
  if (!marks.count)
    return;
  static const mark_state states[] = {mark_state::clear, mark_state::marked,
                                      mark_state::probing};
  p.family("vornex_server_mark", "gauge",
           "1 for the state each check server is in (VornexRetry), 0 for "
           "the others.");
  for (size_t i = 0; i < marks.count; ++i) {
    const mark_state state = state_of(&marks.marks[i], now);
    const std::string server =
        "server=\"" + escaped(marks.addresses[i]) + "\",state=\"";
    for (mark_state s : states)
      p.sample("vornex_server_mark", server + state_name(s) + "\"",
               s == state ? 1 : 0);
  }
}

} // namespace

std::string exposition(const counter_block &block, const mark_table &marks,
                       mark_time now) {
  page p;
  attempts(p, block);
  outcomes(p, block);
  histogram(p, block);
  server_marks(p, marks, now);
  return p.text;
}

} // namespace module
} // namespace vornex
