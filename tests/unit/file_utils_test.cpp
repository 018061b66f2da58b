// File removal and the newest-file search, on real folders under a fresh
// temporary root.
#include <apr_general.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "OdaEdpfFileUtils.h"
#include "test_root.h"

namespace fs = std::filesystem;
using OdaEdpf::RemoveFile;
using OdaEdpf::SearchFile;

namespace {

// Change time as APR reports it: microseconds.
long long ChangeTimeUs(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_ctim.tv_sec) * 1000000 + st.st_ctim.tv_nsec / 1000;
}

// Makes `path`'s change time strictly newer than `than`'s, however coarse the
// file system's clock: a mode change is an inode change.
void MakeNewer(const std::string& path, const std::string& than) {
  for (int i = 0; i < 2000 && ChangeTimeUs(path) <= ChangeTimeUs(than); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    struct stat st {};
    ::stat(path.c_str(), &st);
    ::chmod(path.c_str(), (st.st_mode & 07777) ^ S_IROTH);
  }
  ASSERT_GT(ChangeTimeUs(path), ChangeTimeUs(than));
}

class FileUtilsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override { root_ = MakeTestRoot("fileutils"); }
  void TearDown() override { fs::remove_all(root_); }

  std::string Write(const std::string& name) {
    WriteFile(root_ + "/" + name, "{}");
    return root_ + "/" + name;
  }

  std::string root_;
};

TEST_F(FileUtilsTest, RemoveFileRemovesOnlyExistingFiles) {
  std::string file = Write("a.txt");
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(RemoveFile(file));

  fs::create_directory(root_ + "/dir");
  EXPECT_FALSE(RemoveFile(root_ + "/dir"));
  EXPECT_TRUE(fs::is_directory(root_ + "/dir"));
}

TEST_F(FileUtilsTest, SearchTakesTheNewestMatchingRegularFile) {
  // Created newest-first, so neither creation nor listing order can be
  // mistaken for change-time order.
  std::string newest = Write("keys/b.json");
  std::string older = Write("keys/a.json");
  MakeNewer(newest, older);
  std::string other = Write("keys/z.txt");
  MakeNewer(other, newest);
  fs::create_directory(root_ + "/keys/sub.json");  // a matching folder, newest of all
  MakeNewer(root_ + "/keys/sub.json", other);

  std::string path = "untouched";
  ASSERT_TRUE(SearchFile(root_ + "/keys/*.json", path));
  EXPECT_EQ(newest, path);

  MakeNewer(older, root_ + "/keys/sub.json");
  ASSERT_TRUE(SearchFile(root_ + "/keys/?.json", path));
  EXPECT_EQ(older, path);
  ASSERT_TRUE(SearchFile(root_ + "/keys/[b]*", path));
  EXPECT_EQ(newest, path);
}

TEST_F(FileUtilsTest, SearchFailsWithoutMatchOrFolder) {
  Write("keys/a.json");
  fs::create_directory(root_ + "/keys/b.json");
  std::string path = "untouched";
  EXPECT_FALSE(SearchFile(root_ + "/keys/*.xml", path));
  EXPECT_FALSE(SearchFile(root_ + "/keys/b.*", path));  // only a folder matches
  EXPECT_FALSE(SearchFile(root_ + "/nowhere/*.json", path));
  EXPECT_FALSE(SearchFile(root_ + "/keys/", path));  // an empty pattern matches no name
  EXPECT_EQ("untouched", path);
}

TEST_F(FileUtilsTest, SearchWithoutFolderLooksInTheWorkingFolder) {
  Write("keys/a.json");
  Write("c.json");
  fs::path previous = fs::current_path();
  fs::current_path(root_);
  std::string bare;
  std::string backslash;
  bool found_bare = SearchFile("c.js?n", bare);
  bool found_backslash = SearchFile("keys\\a.json", backslash);
  bool bare_is_c = found_bare && fs::equivalent("c.json", bare);
  bool backslash_is_a = found_backslash && fs::equivalent("keys/a.json", backslash);
  fs::current_path(previous);

  EXPECT_TRUE(bare_is_c) << bare;
  EXPECT_TRUE(backslash_is_a) << backslash;
}

}  // namespace
