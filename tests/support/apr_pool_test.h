// A test fixture with APR set up and one pool for the test's own messages
// and strings, for tests of the server library's C interface.
#ifndef TESTS_SUPPORT_APR_POOL_TEST_H
#define TESTS_SUPPORT_APR_POOL_TEST_H

#include <apr_general.h>
#include <gtest/gtest.h>

#include <string>

#include "corvex/apt.h"

namespace corvex_test {

class AprPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
  }
  apr_pool_t* pool_ = nullptr;
};

// The text of a server string (empty for a null buffer).
inline std::string Str(const apt_str_t& s) { return std::string(s.buf ? s.buf : "", s.length); }

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_APR_POOL_TEST_H
