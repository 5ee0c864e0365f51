// A test fixture with APR started and a pool of its own, destroyed after
// each test.
#ifndef VORNEX_POOL_FIXTURE_H
#define VORNEX_POOL_FIXTURE_H

#include <apr_general.h>
#include <apr_pools.h>

#include <gtest/gtest.h>

namespace vornex_test {

class pool_fixture : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(apr_initialize(), APR_SUCCESS);
    ASSERT_EQ(apr_pool_create(&pool, nullptr), APR_SUCCESS);
  }
  void TearDown() override {
    apr_pool_destroy(pool);
    apr_terminate();
  }

  apr_pool_t *pool = nullptr;
};

} // namespace vornex_test

#endif
