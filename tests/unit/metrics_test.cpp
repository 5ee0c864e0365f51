// The Prometheus page: names, labels, the histogram's cumulative buckets and
// the marks' state sets.
#include "metrics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace {

using namespace vornex::module;

// The value of the sample line that starts with `series` and a space.
std::string value_of(const std::string &page, const std::string &series) {
  std::istringstream lines(page);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, series.size() + 1, series + " ") == 0)
      return line.substr(series.size() + 1);
  return "(none)";
}

class Metrics : public ::testing::Test {
protected:
  void SetUp() override { std::memset(&block, 0, sizeof block); }
  counter_block block;
  mark_table no_marks = {nullptr, nullptr, 0};
};

// Enforced and monitored outcomes are told apart by a label, and skipped
// and unsampled requests counted as unchecked.
TEST_F(Metrics, OutcomesByEnforcement) {
  count_checked(&block, outcome::block, 10);
  count_checked(&block, outcome::block, 10);
  count_monitored(&block, outcome::block, 10);
  count_monitored(&block, outcome::refused, 10);
  count(&block.outcomes[static_cast<int>(outcome::skipped)], 4);
  count(&block.unsampled, 7);
  const std::string page = exposition(block, no_marks, 0);
  const struct {
    const char *series, *value;
  } cases[] = {
      {"vornex_requests_total{outcome=\"block\",enforced=\"true\"}", "2"},
      {"vornex_requests_total{outcome=\"block\",enforced=\"false\"}", "1"},
      {"vornex_requests_total{outcome=\"refused\",enforced=\"true\"}", "0"},
      {"vornex_requests_total{outcome=\"refused\",enforced=\"false\"}", "1"},
      {"vornex_requests_total{outcome=\"pass\",enforced=\"true\"}", "0"},
      {"vornex_requests_total{outcome=\"skipped\",enforced=\"true\"}",
       "(none)"},
      {"vornex_unchecked_total{reason=\"skipped\"}", "4"},
      {"vornex_unchecked_total{reason=\"unsampled\"}", "7"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(value_of(page, c.series), c.value) << c.series;
}

// Buckets are cumulative up to +Inf, which equals the count; the sum is in
// seconds.
TEST_F(Metrics, HistogramIsCumulative) {
  count_checked(&block, outcome::pass, 80);       // <= 0.1 ms
  count_checked(&block, outcome::pass, 3000);     // <= 5 ms
  count_checked(&block, outcome::pass, 3000);     // <= 5 ms
  count_checked(&block, outcome::pass, 20000000); // over 10 s
  const std::string page = exposition(block, no_marks, 0);
  const std::string bucket = "vornex_check_duration_seconds_bucket";
  const struct {
    const char *le, *value;
  } cases[] = {{"0.0001", "1"}, {"0.00025", "1"}, {"0.0025", "1"},
               {"0.005", "3"},  {"10", "3"},      {"+Inf", "4"}};
  for (const auto &c : cases)
    EXPECT_EQ(value_of(page, bucket + "{le=\"" + c.le + "\"}"), c.value)
        << c.le;
  EXPECT_EQ(value_of(page, "vornex_check_duration_seconds_count"), "4");
  EXPECT_EQ(value_of(page, "vornex_check_duration_seconds_sum"), "20.006080");
  EXPECT_NE(page.find("# TYPE vornex_check_duration_seconds histogram\n"),
            std::string::npos);
}

// Each server has one state set to 1, its address escaped as a label value.
TEST_F(Metrics, MarksAsStateSets) {
  server_mark marks[2] = {{0, 0}, {0, 0}};
  const char *addresses[2] = {"127.0.0.1:81", "odd\"name\\"};
  mark_failed(&marks[1], 1000, 5000000, false);
  const std::string page =
      exposition(block, mark_table{marks, addresses, 2}, 2000);
  const std::string clear = "vornex_server_mark{server=\"127.0.0.1:81\",";
  EXPECT_EQ(value_of(page, clear + "state=\"clear\"}"), "1");
  EXPECT_EQ(value_of(page, clear + "state=\"marked\"}"), "0");
  const std::string odd = "vornex_server_mark{server=\"odd\\\"name\\\\\",";
  EXPECT_EQ(value_of(page, odd + "state=\"marked\"}"), "1");
  EXPECT_EQ(value_of(page, odd + "state=\"clear\"}"), "0");
  EXPECT_EQ(page.find("vornex_server_mark"),
            page.find("# HELP vornex_server_mark") + 7);
}

// Without servers named there is no mark family at all.
TEST_F(Metrics, NoMarksNoFamily) {
  EXPECT_EQ(exposition(block, no_marks, 0).find("vornex_server_mark"),
            std::string::npos);
}

} // namespace
