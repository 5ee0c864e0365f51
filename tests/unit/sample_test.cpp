// VornexSample: the percentages it takes and how evenly a share is drawn.
#include "sample.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace vornex::module;

// Whole and decimal percentages up to four places, 0 to 100; anything else
// is refused.
TEST(Sample, ParsesPercentages) {
  const struct {
    const char *text;
    long ppm;
  } cases[] = {{"0", 0},           {"100", 1000000},    {"10", 100000},
               {"0.5", 5000},      {"33.3333", 333333}, {"0.0001", 1},
               {"100.0", 1000000}, {"007", 70000},      {"100.0001", -1},
               {"101", -1},        {"-1", -1},          {"", -1},
               {"10%", -1},        {"1.", -1},          {".5", -1},
               {"0.00001", -1},    {"1e1", -1},         {" 10", -1}};
  for (const auto &c : cases)
    EXPECT_EQ(parse_sample(c.text), c.ppm) << c.text;
}

// 0 and 100 % are exact; 10 % of 200000 draws lands within half a point.
TEST(Sample, DrawsTheShare) {
  std::mt19937_64 generator(42);
  int none = 0, all = 0, tenth = 0;
  for (int i = 0; i < 200000; ++i) {
    none += draw_sample(0, generator);
    all += draw_sample(sample_all, generator);
    tenth += draw_sample(100000, generator);
  }
  EXPECT_EQ(none, 0);
  EXPECT_EQ(all, 200000);
  EXPECT_NEAR(tenth, 20000, 1000);
}

// Two processes forked after the parent drew, each reseeded as a worker is,
// draw different sequences.
TEST(Sample, ForkedProcessesDrawApart) {
  sampled(500000);
  int fds[2][2];
  for (auto &fd : fds)
    ASSERT_EQ(pipe(fd), 0);
  for (auto &fd : fds) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      reseed_samples();
      uint64_t bits = 0;
      for (int i = 0; i < 64; ++i)
        bits = bits << 1 | (sampled(500000) ? 1 : 0);
      _exit(write(fd[1], &bits, sizeof bits) == sizeof bits ? 0 : 1);
    }
  }
  uint64_t seen[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(read(fds[i][0], &seen[i], sizeof seen[i]),
              static_cast<ssize_t>(sizeof seen[i]));
    int status = 0;
    wait(&status);
  }
  EXPECT_NE(seen[0], seen[1]);
}

} // namespace
