// The test fixture shared by every test that needs APR: APR set up once per
// suite, one pool per test for the test's own messages and strings, and on
// request a fresh server root that goes with the test. A fixture that owns
// objects living in pool_ or root_ releases them in its TearDown before
// calling this one's.
#ifndef TESTS_SUPPORT_APR_POOL_TEST_H
#define TESTS_SUPPORT_APR_POOL_TEST_H

#include <apr_general.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "corvex/apt.h"
#include "test_root.h"

namespace corvex_test {

class AprPoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override { ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS); }
  void TearDown() override {
    apr_pool_destroy(pool_);
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  // Makes root_, a fresh folder named after `tag` holding `folders`, removed
  // when the test ends; returns it.
  const std::string& MakeRoot(const std::string& tag, std::initializer_list<const char*> folders = {}) {
    root_ = MakeTestRoot(tag);
    for (const char* folder : folders) std::filesystem::create_directories(root_ + "/" + folder);
    return root_;
  }

  apr_pool_t* pool_ = nullptr;
  std::string root_;
};

// The text of a server string (empty for a null buffer).
inline std::string Str(const apt_str_t& s) { return std::string(s.buf ? s.buf : "", s.length); }

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_APR_POOL_TEST_H
