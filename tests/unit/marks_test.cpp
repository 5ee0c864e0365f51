// Marks of failed check servers shared by all worker processes: who may ask
// a server, the one probe after a period, and what its outcome does.
#include "marks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace vornex::module;

const mark_time second = 1000000;
const mark_time t0 = 1000 * second;

// A server nobody marked is asked, and its state is clear.
TEST(Marks, ClearServerIsAsked) {
  server_mark mark{0, 0};
  EXPECT_EQ(consider(&mark, t0), server_access::ask);
  EXPECT_EQ(state_of(&mark, t0), mark_state::clear);
  EXPECT_STREQ(state_name(state_of(&mark, t0)), "clear");
}

// A failure marks the server for its period; only the first failure says
// so, and during the period every request passes over it.
TEST(Marks, FailureMarksOnceForThePeriod) {
  server_mark mark{0, 0};
  EXPECT_TRUE(mark_failed(&mark, t0, 5 * second, false));
  EXPECT_FALSE(mark_failed(&mark, t0 + 1, 5 * second, false));
  for (mark_time at : {t0, t0 + second, t0 + 5 * second - 1}) {
    EXPECT_EQ(consider(&mark, at), server_access::pass_over) << at;
    EXPECT_EQ(state_of(&mark, at), mark_state::marked) << at;
  }
}

// After the period exactly one request probes; the others pass over it
// until the probe reports.
TEST(Marks, OneProbeAfterThePeriod) {
  server_mark mark{0, 0};
  mark_failed(&mark, t0, 5 * second, false);
  const mark_time end = t0 + 5 * second;
  EXPECT_EQ(consider(&mark, end), server_access::probe);
  EXPECT_EQ(state_of(&mark, end), mark_state::probing);
  EXPECT_STREQ(state_name(mark_state::probing), "probing");
  for (mark_time at : {end, end + second, end + 30 * second})
    EXPECT_EQ(consider(&mark, at), server_access::pass_over) << at;
}

// The probe's outcome decides for everyone: a success clears the mark, a
// failure marks the server for another period, said once more.
TEST(Marks, ProbeOutcomeClearsOrRenews) {
  const mark_time end = t0 + 5 * second;
  {
    server_mark mark{0, 0};
    mark_failed(&mark, t0, 5 * second, false);
    ASSERT_EQ(consider(&mark, end), server_access::probe);
    probe_succeeded(&mark);
    EXPECT_EQ(consider(&mark, end + 1), server_access::ask);
    EXPECT_EQ(state_of(&mark, end + 1), mark_state::clear);
  }
  {
    server_mark mark{0, 0};
    mark_failed(&mark, t0, 5 * second, false);
    ASSERT_EQ(consider(&mark, end), server_access::probe);
    EXPECT_TRUE(mark_failed(&mark, end + second, 5 * second, true));
    EXPECT_EQ(state_of(&mark, end + 2 * second), mark_state::marked);
    EXPECT_EQ(consider(&mark, end + 2 * second), server_access::pass_over);
    EXPECT_EQ(consider(&mark, end + 6 * second), server_access::probe);
  }
}

// A failure of a request that asked before the mark was set does not
// shorten or renew a mark whose period has ended: the probe decides.
TEST(Marks, LateFailureLeavesTheProbeToDecide) {
  server_mark mark{0, 0};
  mark_failed(&mark, t0, 5 * second, false);
  EXPECT_FALSE(mark_failed(&mark, t0 + 6 * second, 5 * second, false));
  EXPECT_EQ(consider(&mark, t0 + 6 * second), server_access::probe);
}

// A request that read the clock before the probe was sent does not take it
// over.
TEST(Marks, ProbeNewerThanTheClockReadIsUnderWay) {
  server_mark mark{0, 0};
  mark_failed(&mark, t0, second, false);
  ASSERT_EQ(consider(&mark, t0 + 2 * second), server_access::probe);
  EXPECT_EQ(consider(&mark, t0 + second), server_access::pass_over);
  EXPECT_EQ(state_of(&mark, t0 + 2 * second - 1), mark_state::probing);
}

// A probe that never reports (its process ended) is given up after a while,
// and the next request probes instead.
TEST(Marks, LostProbeIsTakenOver) {
  server_mark mark{0, 0};
  mark_failed(&mark, t0, second, false);
  const mark_time end = t0 + second;
  ASSERT_EQ(consider(&mark, end), server_access::probe);
  EXPECT_EQ(consider(&mark, end + lost_probe_after - 1),
            server_access::pass_over);
  EXPECT_EQ(state_of(&mark, end + lost_probe_after), mark_state::marked);
  EXPECT_EQ(consider(&mark, end + lost_probe_after), server_access::probe);
}

// Many threads failing or considering at once: one mark is said, and one of
// them gets the probe.
TEST(Marks, ConcurrentRequestsMarkOnceAndProbeOnce) {
  server_mark mark{0, 0};
  std::atomic<int> marked{0}, probes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      if (mark_failed(&mark, t0, second, false))
        ++marked;
    });
  for (auto &t : threads)
    t.join();
  threads.clear();
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i)
        if (consider(&mark, t0 + second + static_cast<mark_time>(t)) ==
            server_access::probe)
          ++probes;
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(marked.load(), 1);
  EXPECT_EQ(probes.load(), 1);
}

// Addresses are found by their text as the configuration gives it.
TEST(Marks, FindByAddress) {
  server_mark marks[2] = {{0, 0}, {0, 0}};
  const char *const addresses[] = {"127.0.0.1:8181", "[::1]:8182"};
  const mark_table table{marks, addresses, 2};
  EXPECT_EQ(find_mark(table, "127.0.0.1:8181"), &marks[0]);
  EXPECT_EQ(find_mark(table, "[::1]:8182"), &marks[1]);
  EXPECT_EQ(find_mark(table, "127.0.0.1"), nullptr);
  EXPECT_EQ(find_mark(table, nullptr), nullptr);
  EXPECT_EQ(find_mark(mark_table{nullptr, nullptr, 0}, "x"), nullptr);
}

} // namespace
