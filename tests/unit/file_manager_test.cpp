// The plugin's managed file store on real folders: eviction order, loading
// with its age and count limits, expiry through timers driven by a hand-moved
// clock, and tear-down. Timer events are held by a processor the test runs by
// hand, so nothing waits for time to pass.
#include <apr_file_info.h>
#include <apr_general.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "QelFileManager.h"
#include "log_capture.h"
#include "manual_timer_processor.h"
#include "test_root.h"

namespace fs = std::filesystem;
using TARNWICKSS::FileManager;

namespace {

using corvex_test::ManualTimerProcessor;

// A store whose settings the test chooses.
class Store : public FileManager {
 public:
  struct Limits {
    std::uint64_t max_count = 100;
    std::uint64_t max_age = 0;
    bool purge = false;
  };
  Store(const std::string& directory, Limits limits) : FileManager(facility_), facility_("TEST", OdaEdpf::LogDebug) {
    SetDirectory(directory);
    max_count_ = limits.max_count;
    max_age_ = limits.max_age;
    purge_existing_ = limits.purge;
    file_prefix_ = "f-";
    file_suffix_ = ".wav";
    SetClock(ManualTimerProcessor::Now);
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : file_entries()) names.push_back(item.second->name);
    return names;
  }
  FileEntry* Find(const std::string& name) const {
    for (const auto& item : file_entries()) {
      if (item.second->name == name) return item.second;
    }
    return nullptr;
  }

 private:
  OdaEdpf::LogFacility facility_;
};

FileManager::FileEntry* Entry(const std::string& name, std::int64_t time, std::uint64_t usage = 0) {
  auto* entry = new FileManager::FileEntry(name, time);
  entry->usage = usage;
  return entry;
}

apr_time_t ChangeTime(const std::string& path) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_finfo_t info;
  const apr_time_t time = apr_stat(&info, path.c_str(), APR_FINFO_CTIME, pool) == APR_SUCCESS ? info.ctime : -1;
  apr_pool_destroy(pool);
  return time;
}

class FileManagerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override {
    root_ = MakeTestRoot("filemanager");
    dir_ = root_ + "/store/";
    fs::create_directories(dir_);
    ManualTimerProcessor::SetNow(apr_time_now());
  }
  void TearDown() override {
    // The store posts its timer stops; it must go before the processor.
    store_.reset();
    processor_.reset();
    fs::remove_all(root_);
  }

  Store& MakeStore(Store::Limits limits, bool with_timers = false) {
    store_ = std::make_unique<Store>(dir_, limits);
    if (with_timers) store_->SetTimerProcessor(processor_.get());
    return *store_;
  }
  void Touch(const std::string& name) { std::ofstream(dir_ + name) << name; }
  bool OnDisk(const std::string& name) const { return fs::exists(dir_ + name); }

  corvex_test::LogCapture log_;
  std::string root_;
  std::string dir_;
  std::unique_ptr<ManualTimerProcessor> processor_ = std::make_unique<ManualTimerProcessor>();
  std::unique_ptr<Store> store_;
};

TEST_F(FileManagerTest, EvictsLeastUsedThenOldestThenFirstInserted) {
  Store& store = MakeStore({3, 0});
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) Touch(name);
  store.AddFileEntry(Entry("a", 10, 0));
  store.AddFileEntry(Entry("b", 5, 2));
  store.AddFileEntry(Entry("c", 20, 0));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"a", "c", "b"}));

  store.AddFileEntry(Entry("d", 30, 0));  // the oldest unused one goes
  EXPECT_FALSE(OnDisk("a"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"c", "d", "b"}));
  EXPECT_EQ(log_.Count("Remove file a [max file count]", APT_PRIO_NOTICE), 1u);

  // Once used, d outlives every unused file, however new they are.
  ASSERT_TRUE(store.UpdateFileEntryUsage(store.Find("d"), 1));
  store.AddFileEntry(Entry("e", 40, 0));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"e", "d", "b"}));
  store.AddFileEntry(Entry("f", 50, 0));
  EXPECT_FALSE(OnDisk("e"));
  EXPECT_TRUE(OnDisk("d"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"f", "d", "b"}));
}

TEST_F(FileManagerTest, EqualKeysLeaveInInsertionOrderAndUsageUpdatesGoBehindThem) {
  Store& store = MakeStore({2, 0});
  for (const char* name : {"x1", "x2", "x3", "x4"}) Touch(name);
  store.AddFileEntry(Entry("x1", 7));
  store.AddFileEntry(Entry("x2", 7));
  store.AddFileEntry(Entry("x3", 7));
  EXPECT_FALSE(OnDisk("x1"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"x2", "x3"}));

  // Re-sorted under the same key: behind the equal one.
  ASSERT_TRUE(store.UpdateFileEntryUsage(store.Find("x2"), 0));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"x3", "x2"}));
  store.AddFileEntry(Entry("x4", 7));
  EXPECT_FALSE(OnDisk("x3"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"x2", "x4"}));
}

TEST_F(FileManagerTest, NoCountLimitNeverEvictsAndUnknownEntriesAreRefused) {
  Store& store = MakeStore({0, 0});
  for (int i = 0; i < 250; ++i) store.AddFileEntry(Entry("n" + std::to_string(i), i));
  EXPECT_EQ(store.file_entries().size(), 250u);
  EXPECT_FALSE(store.AddFileEntry(nullptr));

  FileManager::FileEntry stranger("n1", 1);  // same key and name, another object
  EXPECT_FALSE(store.UpdateFileEntryUsage(&stranger, 3));
  EXPECT_FALSE(store.RemoveFileEntry(std::string("missing")));
  EXPECT_EQ(store.file_entries().size(), 250u);
  EXPECT_EQ(log_.Count("Mismatch"), 0u);  // no age limit: timers are not expected
}

TEST_F(FileManagerTest, LoadTrimsAFolderOf150FilesToTheNewest100) {
  for (int i = 0; i < 150; ++i) Touch("f-" + std::to_string(i) + ".wav");
  std::vector<std::pair<apr_time_t, std::string>> ctimes;
  for (int i = 0; i < 150; ++i) {
    const std::string name = "f-" + std::to_string(i) + ".wav";
    ctimes.emplace_back(ChangeTime(dir_ + name), name);
  }
  Store& store = MakeStore({100, 0});
  ASSERT_TRUE(store.LoadFileEntries());

  EXPECT_EQ(store.file_entries().size(), 100u);
  EXPECT_EQ(log_.Count("[max file count]", APT_PRIO_NOTICE), 50u);
  EXPECT_EQ(log_.Count("Found file", APT_PRIO_DEBUG), 150u);
  EXPECT_EQ(log_.Count("TEST total file entries [100] timers [0]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(log_.Count(
                "Populate files from " + dir_ + " pattern [f-*.wav] max-count [100] max-age [0 min] purge-existing [0]",
                APT_PRIO_NOTICE),
            1u);
  // No removed file is newer than a kept one.
  apr_time_t newest_removed = 0;
  apr_time_t oldest_kept = INT64_MAX;
  std::size_t on_disk = 0;
  for (const auto& item : ctimes) {
    if (OnDisk(item.second)) {
      ++on_disk;
      ASSERT_NE(store.Find(item.second), nullptr) << item.second;
      oldest_kept = std::min(oldest_kept, item.first);
    } else {
      newest_removed = std::max(newest_removed, item.first);
    }
  }
  EXPECT_EQ(on_disk, 100u);
  EXPECT_LE(newest_removed, oldest_kept);
}

TEST_F(FileManagerTest, LoadRegistersOnlyMatchingRegularFiles) {
  Touch("f-1.wav");
  Touch("f-2.WAV");
  Touch("g-3.wav");
  Touch("f-4.wav.cache");
  fs::create_directories(dir_ + "f-dir.wav");
  fs::create_symlink(dir_ + "f-1.wav", dir_ + "f-link.wav");
  Store& store = MakeStore({1, 0});
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"f-1.wav"}));
  for (const char* name : {"f-1.wav", "f-2.WAV", "g-3.wav", "f-4.wav.cache", "f-dir.wav", "f-link.wav"}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(dir_ + name))) << name;
  }
}

TEST_F(FileManagerTest, LoadRemovesAFileExactlyAtTheMaximumAge) {
  Touch("f-old.wav");
  const apr_time_t ctime = ChangeTime(dir_ + "f-old.wav");
  ManualTimerProcessor::SetNow(ctime + 60LL * 60 * 1000000);
  Store& store = MakeStore({100, 60}, true);
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_FALSE(OnDisk("f-old.wav"));
  EXPECT_TRUE(store.file_entries().empty());
  EXPECT_EQ(log_.Count("Remove file f-old.wav [max file age]", APT_PRIO_NOTICE), 1u);
}

TEST_F(FileManagerTest, LoadArmsTheRemainingAgeOfAYoungerFileAtLeastOneMillisecond) {
  Touch("f-young.wav");
  const apr_time_t ctime = ChangeTime(dir_ + "f-young.wav");
  ManualTimerProcessor::SetNow(ctime + 60LL * 60 * 1000000 - 1000000);  // one second to go
  Store& store = MakeStore({100, 60}, true);
  ASSERT_TRUE(store.LoadFileEntries());
  ASSERT_EQ(store.expiration_timers().size(), 1u);
  FileManager::FileEntry* entry = store.Find("f-young.wav");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->timer->GetInterval(), 1000);
  EXPECT_EQ(entry->expiration, ctime + 60LL * 60 * 1000000);
  EXPECT_EQ(log_.Count("Set expiration timer for file f-young.wav [0 min]", APT_PRIO_DEBUG), 1u);

  processor_->RunPending();
  processor_->AdvanceMs(999);
  EXPECT_TRUE(OnDisk("f-young.wav"));
  processor_->AdvanceMs(1);
  EXPECT_FALSE(OnDisk("f-young.wav"));
  EXPECT_TRUE(store.file_entries().empty());

  // Less than a millisecond to go still gets a timer that fires.
  Touch("f-edge.wav");
  ManualTimerProcessor::SetNow(ChangeTime(dir_ + "f-edge.wav") + 60LL * 60 * 1000000 - 400);
  Store& again = MakeStore({100, 60}, true);
  ASSERT_TRUE(again.LoadFileEntries());
  ASSERT_NE(again.Find("f-edge.wav"), nullptr);
  EXPECT_EQ(again.Find("f-edge.wav")->timer->GetInterval(), 1);
  processor_->RunPending();
  processor_->AdvanceMs(1);
  EXPECT_FALSE(OnDisk("f-edge.wav"));
}

TEST_F(FileManagerTest, PurgeRemovesEveryMatchingFileWithoutAgeCheckOrTimer) {
  Touch("f-1.wav");
  Touch("f-2.wav");
  Touch("keep.txt");
  Store& store = MakeStore({100, 60, true}, true);
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_FALSE(OnDisk("f-1.wav"));
  EXPECT_FALSE(OnDisk("f-2.wav"));
  EXPECT_TRUE(OnDisk("keep.txt"));
  EXPECT_EQ(log_.Count("[purge existing]", APT_PRIO_NOTICE), 2u);
  EXPECT_EQ(log_.Count("[max file age]"), 0u);
  EXPECT_TRUE(store.expiration_timers().empty());
}

TEST_F(FileManagerTest, LoadCreatesAMissingFolderThatFilesCanBeWrittenTo) {
  dir_ = root_ + "/new/deeper";
  Store& store = MakeStore({100, 0});
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_EQ(log_.Count("Create directory " + dir_ + "/", APT_PRIO_INFO), 1u);
  struct stat st {};
  ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // Owner read, write and search: without the last, nothing could be created inside.
  EXPECT_EQ(st.st_mode & 0700, 0700);
  EXPECT_EQ(st.st_mode & 0077, 0);
}

TEST_F(FileManagerTest, ExpiryRemovesTheFileAndTheEntry) {
  Store& store = MakeStore({100, 1}, true);
  ASSERT_TRUE(store.LoadFileEntries());
  Touch("f-a.wav");
  Touch("f-b.wav");
  ASSERT_TRUE(store.AddFileEntry("f-a.wav", ManualTimerProcessor::Now(), nullptr));
  processor_->RunPending();  // the timer starts counting now
  processor_->AdvanceMs(30000);
  ASSERT_TRUE(store.AddFileEntry("f-b.wav", ManualTimerProcessor::Now(), nullptr));
  processor_->RunPending();
  EXPECT_EQ(log_.Count("Set expiration timer for file f-a.wav [1 min]", APT_PRIO_DEBUG), 1u);

  processor_->AdvanceMs(29999);
  EXPECT_TRUE(OnDisk("f-a.wav"));
  processor_->AdvanceMs(1);
  EXPECT_FALSE(OnDisk("f-a.wav"));
  EXPECT_TRUE(OnDisk("f-b.wav"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"f-b.wav"}));
  EXPECT_EQ(store.expiration_timers().size(), 1u);
  EXPECT_EQ(log_.Count("Remove file f-a.wav [timed out]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(log_.Count("TEST total file entries [1] timers [1]", APT_PRIO_NOTICE), 2u);  // after adding a, after expiry
  EXPECT_EQ(log_.Count("Mismatch"), 0u);

  // An age too long to count in milliseconds means never, not at once.
  store.DestroyFileEntries();
  processor_->RunPending();  // the stops, while their store still exists
  Store& forever = MakeStore({100, std::numeric_limits<std::int64_t>::max()}, true);
  for (const char* name : {"f-c.wav", "f-d.wav"}) {
    Touch(name);
    ASSERT_TRUE(forever.AddFileEntry(name, ManualTimerProcessor::Now(), nullptr));
    processor_->RunPending();
    processor_->AdvanceMs(1000);
  }
  EXPECT_TRUE(OnDisk("f-c.wav") && OnDisk("f-d.wav"));
}

TEST_F(FileManagerTest, RemovalAndEvictionStopTheirTimers) {
  Store& store = MakeStore({2, 1}, true);
  for (const char* name : {"f-1.wav", "f-2.wav", "f-3.wav"}) Touch(name);
  store.AddFileEntry("f-1.wav", 1, nullptr);
  store.AddFileEntry("f-2.wav", 2, nullptr);
  store.AddFileEntry("f-3.wav", 3, nullptr);  // evicts f-1
  ASSERT_TRUE(store.RemoveFileEntry(std::string("f-2.wav")));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"f-3.wav"}));
  EXPECT_EQ(store.expiration_timers().size(), 1u);
  // Starts and the two stops: the stopped timers are deleted by the queue.
  processor_->RunPending();
  processor_->AdvanceMs(60000);
  EXPECT_FALSE(OnDisk("f-3.wav"));
  EXPECT_TRUE(store.file_entries().empty());
  EXPECT_TRUE(store.expiration_timers().empty());
}

TEST_F(FileManagerTest, TearDownKeepsFilesAndStopsTimers) {
  Store& store = MakeStore({100, 1}, true);
  Touch("f-1.wav");
  Touch("f-2.wav");
  ASSERT_TRUE(store.LoadFileEntries());
  ASSERT_EQ(store.expiration_timers().size(), 2u);
  store.DestroyFileEntries();
  processor_->RunPending();  // starts, then stops that delete the timers
  EXPECT_TRUE(store.file_entries().empty());
  EXPECT_TRUE(store.expiration_timers().empty());
  EXPECT_TRUE(OnDisk("f-1.wav"));
  EXPECT_TRUE(OnDisk("f-2.wav"));
  processor_->AdvanceMs(120000);
  EXPECT_TRUE(OnDisk("f-1.wav"));
}

}  // namespace
