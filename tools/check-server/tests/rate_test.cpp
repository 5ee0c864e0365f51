#include "rate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornex {
namespace check_server {
namespace {

using std::chrono::seconds;

const auto t0 = rate_counter::clock::time_point() + seconds(1000);

// A client gets `limit` requests in its window and is over the rate after.
TEST(Rate, LimitsAfterCountInWindow) {
  rate_counter counter(3, seconds(10));
  std::vector<bool> over;
  for (int i = 0; i < 5; ++i)
    over.push_back(counter.over("a", t0 + seconds(i)));
  EXPECT_EQ(over, (std::vector<bool>{false, false, false, true, true}));
}

// Clients are counted apart from each other.
TEST(Rate, CountsClientsApart) {
  rate_counter counter(1, seconds(10));
  EXPECT_FALSE(counter.over("a", t0));
  EXPECT_FALSE(counter.over("b", t0));
  EXPECT_TRUE(counter.over("a", t0));
}

// Once the window has run out the client starts afresh.
TEST(Rate, NewWindowStartsAfresh) {
  rate_counter counter(1, seconds(10));
  EXPECT_FALSE(counter.over("a", t0));
  EXPECT_TRUE(counter.over("a", t0 + seconds(9)));
  EXPECT_FALSE(counter.over("a", t0 + seconds(10)));
  EXPECT_TRUE(counter.over("a", t0 + seconds(11)));
}

// A stream of one-off clients, one a second with a ten-second window, does
// not pile up: clients whose window ran out are dropped.
TEST(Rate, ForgetsExpiredClients) {
  rate_counter counter(1, seconds(10));
  for (int i = 0; i < 20000; ++i)
    counter.over("c" + std::to_string(i), t0 + seconds(i));
  EXPECT_LE(counter.clients(), 4096u);
}

} // namespace
} // namespace check_server
} // namespace vornex
