// The shared counters: which bucket a check time lands in, what a checked
// request adds, and the names the status page gives them.
#include "counters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vornex::module;

// A time on a bucket's bound belongs to that bucket, one microsecond more to
// the next; everything above 10 s to the last.
TEST(Counters, CheckTimeBucketBounds) {
  const struct {
    uint64_t microseconds;
    int bucket;
  } cases[] = {{0, 0},         {100, 0},       {101, 1},
               {250, 1},       {50000, 8},     {50001, 9},
               {10000000, 15}, {10000001, 16}, {UINT64_MAX, 16}};
  for (const auto &c : cases)
    EXPECT_EQ(check_time_bucket(c.microseconds), c.bucket) << c.microseconds;
  EXPECT_EQ(check_time_buckets, 17);
}

// Verdict codes name their outcome; an unknown code is a block.
TEST(Counters, OutcomeNames) {
  const char *names[] = {"pass",     "block",   "challenge",
                         "redirect", "captcha", "return_fake_data",
                         "limit",    "inject"};
  for (int code = 0; code < 8; ++code)
    EXPECT_STREQ(outcome_name(outcome_of(code)), names[code]);
  EXPECT_STREQ(outcome_name(outcome_of(8)), "block");
  EXPECT_STREQ(outcome_name(outcome_of(-1)), "block");
  EXPECT_STREQ(outcome_name(outcome::unscreened), "unscreened");
  EXPECT_STREQ(outcome_name(outcome::skipped), "skipped");
  EXPECT_STREQ(outcome_name(outcome::busy), "busy");
  EXPECT_STREQ(outcome_name(outcome::refused), "refused");
}

// Concurrent counting loses nothing, and the lines report the outcome, the
// bucket and the total time under their names.
TEST(Counters, ConcurrentCountsAddUpInLines) {
  counter_block block;
  std::memset(&block, 0, sizeof block);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&block] {
      for (int i = 0; i < 10000; ++i)
        count_checked(&block, outcome::challenge, 60000);
    });
  for (auto &t : threads)
    t.join();
  uint64_t histogram = 0;
  std::string challenge, fifty_to_hundred, total;
  for (const auto &line : counter_lines(block)) {
    if (line.first.rfind("VornexCheckTimeUpTo", 0) == 0 ||
        line.first.rfind("VornexCheckTimeOver", 0) == 0)
      histogram += line.second;
    if (line.first == "VornexChallenge")
      challenge = std::to_string(line.second);
    if (line.first == "VornexCheckTimeUpTo100ms")
      fifty_to_hundred = std::to_string(line.second);
    if (line.first == "VornexCheckTimeTotalMicroseconds")
      total = std::to_string(line.second);
  }
  EXPECT_EQ(challenge, "40000");
  EXPECT_EQ(fifty_to_hundred, "40000");
  EXPECT_EQ(histogram, 40000u);
  EXPECT_EQ(total, std::to_string(40000ull * 60000));
}

} // namespace
