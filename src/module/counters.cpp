#include "counters.h"

#include "protocol.h"

namespace vornex {
namespace module {

namespace {

// The verdicts' outcomes carry the protocol's codes, so that a code is its
// outcome and the keyword its name.
static_assert(static_cast<int>(outcome::pass) == protocol::pass &&
                  static_cast<int>(outcome::block) == protocol::block &&
                  static_cast<int>(outcome::challenge) == protocol::challenge &&
                  static_cast<int>(outcome::redirect) == protocol::redirect &&
                  static_cast<int>(outcome::captcha) == protocol::captcha &&
                  static_cast<int>(outcome::return_fake_data) ==
                      protocol::return_fake_data &&
                  static_cast<int>(outcome::limit) == protocol::limit &&
                  static_cast<int>(outcome::inject) == protocol::inject,
              "outcomes follow the verdict codes");

// Counter names after "Vornex", in CamelCase as mod_status prints its own.
const char *const outcome_labels[outcome_count] = {
    "Pass",  "Block",  "Challenge",  "Redirect", "Captcha", "ReturnFakeData",
    "Limit", "Inject", "Unscreened", "Skipped",  "Busy",    "Refused"};
const char *const failure_labels[failure_kind_count] = {"Connection", "Timeout",
                                                        "Answer", "Verdict"};

// The bounds of check_time_bounds as the counter names give them.
const char *const bound_labels[] = {
    "0.1ms", "0.25ms", "0.5ms", "1ms",   "2.5ms", "5ms",  "10ms", "25ms",
    "50ms",  "100ms",  "250ms", "500ms", "1s",    "2.5s", "5s",   "10s"};
static_assert(sizeof(bound_labels) / sizeof(bound_labels[0]) ==
                  check_time_buckets - 1,
              "one label per bound");

} // namespace

outcome outcome_of(int code) {
  if (!protocol::keyword_of(code))
    return outcome::block;
  return static_cast<outcome>(code);
}

const char *outcome_name(outcome o) {
  switch (o) {
  case outcome::unscreened:
    return "unscreened";
  case outcome::skipped:
    return "skipped";
  case outcome::busy:
    return "busy";
  case outcome::refused:
    return "refused";
  default:
    return protocol::keyword_of(static_cast<int>(o));
  }
}

int check_time_bucket(uint64_t microseconds) {
  int i = 0;
  while (i < check_time_buckets - 1 && microseconds > check_time_bounds[i])
    ++i;
  return i;
}

void count_checked(counter_block *block, outcome o, uint64_t microseconds) {
  count(&block->outcomes[static_cast<int>(o)]);
  count(&block->check_time[check_time_bucket(microseconds)]);
  count(&block->check_time_total, microseconds);
}

void count_monitored(counter_block *block, outcome o, uint64_t microseconds) {
  count_checked(block, o, microseconds);
  count(&block->monitored[static_cast<int>(o)]);
}

const char *outcome_label(outcome o) {
  return outcome_labels[static_cast<int>(o)];
}

std::vector<std::pair<std::string, uint64_t>>
counter_lines(const counter_block &block) {
  // The block is only read; the atomic read wants a pointer it may write.
  auto &b = const_cast<counter_block &>(block);
  std::vector<std::pair<std::string, uint64_t>> lines;
  lines.emplace_back("VornexScreened", apr_atomic_read64(&b.screened));
  for (int i = 0; i < outcome_count; ++i)
    lines.emplace_back(std::string("Vornex") + outcome_labels[i],
                       apr_atomic_read64(&b.outcomes[i]));
  lines.emplace_back("VornexFailovers", apr_atomic_read64(&b.failovers));
  for (int i = 0; i < failure_kind_count; ++i)
    lines.emplace_back(std::string("VornexFailed") + failure_labels[i],
                       apr_atomic_read64(&b.failed[i]));
  lines.emplace_back("VornexOverCap", apr_atomic_read64(&b.over_cap));
  lines.emplace_back("VornexChecksInFlight", apr_atomic_read64(&b.in_flight));
  lines.emplace_back("VornexBodyBytes", apr_atomic_read64(&b.body_bytes));
  for (int i = 0; i < check_time_buckets; ++i) {
    const std::string name =
        i < check_time_buckets - 1
            ? std::string("VornexCheckTimeUpTo") + bound_labels[i]
            : std::string("VornexCheckTimeOver") + bound_labels[i - 1];
    lines.emplace_back(name, apr_atomic_read64(&b.check_time[i]));
  }
  lines.emplace_back("VornexCheckTimeTotalMicroseconds",
                     apr_atomic_read64(&b.check_time_total));
  return lines;
}

std::vector<std::pair<std::string, uint64_t>>
rollout_lines(const counter_block &block) {
  auto &b = const_cast<counter_block &>(block);
  std::vector<std::pair<std::string, uint64_t>> lines;
  for (int i = 0; i < outcome_count; ++i)
    if (static_cast<outcome>(i) != outcome::skipped)
      lines.emplace_back(std::string("VornexMonitored") + outcome_labels[i],
                         apr_atomic_read64(&b.monitored[i]));
  lines.emplace_back("VornexUnsampled", apr_atomic_read64(&b.unsampled));
  return lines;
}

} // namespace module
} // namespace vornex
