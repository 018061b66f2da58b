// Both managed file stores on real folders: what they share, typed over the
// plugin's and the framework's, then each one's eviction order. Timers run on
// a processor and clock the test moves by hand. The framework store logs
// through its facility, so its tests run the framework logger (a thread).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "OdaEdpfFileManager.h"
#include "OdaEdpfLogger.h"
#include "QelFileManager.h"
#include "QelLogRedirectDevice.h"
#include "apr_pool_test.h"
#include "log_capture.h"
#include "manual_timer_processor.h"
#include "test_root.h"

namespace fs = std::filesystem;
using corvex_test::ManualTimerProcessor;
using Names = std::set<std::string>;

namespace {

constexpr apr_time_t kHour = 60LL * 60 * 1000 * 1000;

using Plugin = TARNWICKSS::FileManager;
using Framework = OdaEdpf::FileManager;

// An entry to add, and the file its addition evicts ("" for none).
struct Row {
  std::string name;
  std::int64_t time;
  std::uint64_t usage;  // the plugin's store only
  std::string evicted;
};

template <class Manager>
class Store : public Manager {
 public:
  Store(const std::string& directory, std::uint64_t max_count, std::uint64_t max_age, bool purge)
      : Manager(facility_), facility_("TEST", OdaEdpf::LogDebug) {
    this->SetDirectory(directory);
    this->max_count_ = max_count;
    this->max_age_ = max_age;
    this->purge_existing_ = purge;
    this->file_prefix_ = "f-";
    this->file_suffix_ = ".wav";
    this->SetClock(ManualTimerProcessor::Now);
  }
  Names Filed() const {
    Names names;
    for (const auto& item : this->file_entries()) names.insert(item.second->name);
    return names;
  }
  typename Manager::FileEntry* Find(const std::string& name) const {
    for (const auto& item : this->file_entries()) {
      if (item.second->name == name) return item.second;
    }
    return nullptr;
  }

 private:
  OdaEdpf::LogFacility facility_;
};

struct RunningLogger {
  RunningLogger() {
    OdaEdpf::Logger* logger = OdaEdpf::Logger::CreateInstance();
    logger->AddLogDevice(new TARNWICKSS::LogRedirectDevice());
    logger->Start();
  }
  ~RunningLogger() { OdaEdpf::Logger::DestroyInstance(); }  // delivers what was posted
};

template <class Manager>
class FileStoreTest : public corvex_test::AprPoolTest {
 protected:
  void SetUp() override {
    AprPoolTest::SetUp();
    dir_ = this->MakeRoot("filestore", {"store"}) + "/store/";
    ManualTimerProcessor::SetNow(apr_time_now());
    if (std::is_same_v<Manager, Framework>) logger_.emplace();
  }
  void TearDown() override {
    store_.reset();  // posts its timer stops: before the processor
    processor_.reset();
    logger_.reset();
    AprPoolTest::TearDown();
  }

  Store<Manager>& MakeStore(std::uint64_t max_count, std::uint64_t max_age, bool purge = false) {
    store_ = std::make_unique<Store<Manager>>(dir_, max_count, max_age, purge);
    store_->SetTimerProcessor(processor_.get());
    return *store_;
  }
  bool Add(const std::string& name, std::int64_t time, std::uint64_t usage = 0) {
    auto* entry = new typename Manager::FileEntry(name, time);
    if constexpr (std::is_same_v<Manager, Plugin>) entry->usage = usage;
    return store_->AddFileEntry(entry);
  }
  void Touch(const std::string& name) { std::ofstream(dir_ + name) << name; }
  bool OnDisk(const std::string& name) const { return fs::exists(dir_ + name); }
  apr_time_t ChangeTime(const std::string& name) const {
    struct stat st {};
    ::stat((dir_ + name).c_str(), &st);
    return apr_time_make(st.st_ctim.tv_sec, st.st_ctim.tv_nsec / 1000);
  }
  std::size_t Logged(const std::string& text, apt_log_priority_e priority = APT_PRIO_DEBUG) {
    if (logger_) logger_.emplace();  // the old logger delivers its records first
    return log_.Count(text, priority);
  }
  // Adds the rows in order; after each, exactly the row's `evicted` file has gone.
  void ExpectEvictions(const std::vector<Row>& rows) {
    Names kept = store_->Filed();
    for (const Row& row : rows) {
      Touch(row.name);
      ASSERT_TRUE(Add(row.name, row.time, row.usage));
      kept.insert(row.name);
      kept.erase(row.evicted);
      EXPECT_EQ(store_->Filed(), kept) << "after adding " << row.name;
      EXPECT_TRUE(row.evicted.empty() || !OnDisk(row.evicted)) << row.evicted;
    }
  }

  corvex_test::LogCapture log_;
  std::optional<RunningLogger> logger_;
  std::string dir_;
  std::unique_ptr<ManualTimerProcessor> processor_ = std::make_unique<ManualTimerProcessor>();
  std::unique_ptr<Store<Manager>> store_;
};

using Variants = ::testing::Types<Plugin, Framework>;
TYPED_TEST_SUITE(FileStoreTest, Variants);

TYPED_TEST(FileStoreTest, LoadTrimsAFolderOf150FilesToTheNewest100) {
  std::vector<std::pair<apr_time_t, std::string>> files;
  for (int i = 0; i < 150; ++i) {
    files.emplace_back(0, "f-" + std::to_string(i) + ".wav");
    this->Touch(files.back().second);
    files.back().first = this->ChangeTime(files.back().second);
  }
  auto& store = this->MakeStore(100, 0);
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_EQ(store.file_entries().size(), 100u);
  apr_time_t newest_removed = 0;
  apr_time_t oldest_kept = std::numeric_limits<apr_time_t>::max();
  for (const auto& [time, name] : files) {
    EXPECT_EQ(this->OnDisk(name), store.Find(name) != nullptr) << name;
    if (this->OnDisk(name)) oldest_kept = std::min(oldest_kept, time);
    if (!this->OnDisk(name)) newest_removed = std::max(newest_removed, time);
  }
  EXPECT_LE(newest_removed, oldest_kept);
  EXPECT_EQ(this->Logged("[max file count]", APT_PRIO_NOTICE), 50u);
  EXPECT_EQ(this->Logged("TEST total file entries [100] timers [0]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(this->Logged("pattern [f-*.wav] max-count [100] max-age [0 min] purge-existing [0]", APT_PRIO_NOTICE), 1u);
}

TYPED_TEST(FileStoreTest, LoadRegistersOnlyMatchingRegularFilesAndPurgeRemovesThem) {
  for (const char* name : {"f-1.wav", "f-2.WAV", "g-3.wav", "f-4.wav.cache"}) this->Touch(name);
  fs::create_directories(this->dir_ + "f-dir.wav");
  fs::create_symlink(this->dir_ + "f-1.wav", this->dir_ + "f-link.wav");
  ASSERT_TRUE(this->MakeStore(100, 0).LoadFileEntries());
  EXPECT_EQ(this->store_->Filed(), Names{"f-1.wav"});

  // With an age limit too: no age check, no timer, only the matching file goes.
  auto& purging = this->MakeStore(100, 60, true);
  ASSERT_TRUE(purging.LoadFileEntries());
  EXPECT_TRUE(purging.file_entries().empty() && purging.expiration_timers().empty());
  for (const char* name : {"f-2.WAV", "g-3.wav", "f-4.wav.cache", "f-dir.wav", "f-link.wav"}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(this->dir_ + name))) << name;
  }
  EXPECT_FALSE(this->OnDisk("f-1.wav"));
  EXPECT_EQ(this->Logged("Remove file f-1.wav [purge existing]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(this->Logged("[max file age]"), 0u);
}

TYPED_TEST(FileStoreTest, LoadRemovesAFileAtTheMaximumAgeAndTimesTheRestOfTheAgeOfYoungerOnes) {
  auto& processor = *this->processor_;
  this->Touch("f-young.wav");
  ManualTimerProcessor::SetNow(this->ChangeTime("f-young.wav") + kHour - 1000000);  // one second to go
  auto& store = this->MakeStore(100, 60);
  ASSERT_TRUE(store.LoadFileEntries());
  ASSERT_NE(store.Find("f-young.wav"), nullptr);
  EXPECT_EQ(store.Find("f-young.wav")->timer->GetInterval(), 1000);
  processor.RunPending();
  processor.AdvanceMs(999);
  EXPECT_TRUE(this->OnDisk("f-young.wav"));
  processor.AdvanceMs(1);
  EXPECT_FALSE(this->OnDisk("f-young.wav"));
  EXPECT_TRUE(store.file_entries().empty());

  this->Touch("f-edge.wav");  // less than a millisecond to go: still a timer that fires
  ManualTimerProcessor::SetNow(this->ChangeTime("f-edge.wav") + kHour - 400);
  ASSERT_TRUE(this->MakeStore(100, 60).LoadFileEntries());
  EXPECT_EQ(this->store_->Find("f-edge.wav")->timer->GetInterval(), 1);
  processor.RunPending();
  processor.AdvanceMs(1);
  EXPECT_FALSE(this->OnDisk("f-edge.wav"));

  this->Touch("f-old.wav");  // exactly at the maximum age
  ManualTimerProcessor::SetNow(this->ChangeTime("f-old.wav") + kHour);
  ASSERT_TRUE(this->MakeStore(100, 60).LoadFileEntries());
  EXPECT_FALSE(this->OnDisk("f-old.wav"));
  EXPECT_EQ(this->Logged("Set expiration timer for file f-young.wav [0 min]", APT_PRIO_DEBUG), 1u);
  EXPECT_EQ(this->Logged("Remove file f-old.wav [max file age]", APT_PRIO_NOTICE), 1u);
}

TYPED_TEST(FileStoreTest, ExpiryRemovesTheFileAndTheEntry) {
  auto& processor = *this->processor_;
  this->dir_ = this->root_ + "/new/deeper/";
  auto& store = this->MakeStore(100, 1);
  ASSERT_TRUE(store.LoadFileEntries());
  // Created for the owner alone, who needs the search bit to create files inside.
  EXPECT_EQ(fs::status(this->dir_).permissions(), fs::perms::owner_all);
  for (const char* name : {"f-a.wav", "f-b.wav"}) this->Touch(name);
  ASSERT_TRUE(this->Add("f-a.wav", ManualTimerProcessor::Now()));
  processor.RunPending();  // the timer starts counting now
  processor.AdvanceMs(30000);
  ASSERT_TRUE(this->Add("f-b.wav", ManualTimerProcessor::Now()));
  processor.RunPending();
  processor.AdvanceMs(29999);
  EXPECT_TRUE(this->OnDisk("f-a.wav"));
  processor.AdvanceMs(1);
  EXPECT_TRUE(!this->OnDisk("f-a.wav") && this->OnDisk("f-b.wav"));
  EXPECT_EQ(store.Filed(), Names{"f-b.wav"});
  EXPECT_EQ(store.expiration_timers().size(), 1u);
  EXPECT_EQ(this->Logged("Set expiration timer for file f-a.wav [1 min]", APT_PRIO_DEBUG), 1u);
  EXPECT_EQ(this->Logged("Remove file f-a.wav [timed out]", APT_PRIO_NOTICE), 1u);
  // After adding f-a and after its expiry.
  EXPECT_EQ(this->Logged("TEST total file entries [1] timers [1]", APT_PRIO_NOTICE), 2u);
  EXPECT_EQ(this->Logged("Mismatch"), 0u);
}

TYPED_TEST(FileStoreTest, AHugeMaximumAgeNeverExpires) {
  for (const char* name : {"f-c.wav", "n-d.wav"}) this->Touch(name);
  auto& store = this->MakeStore(100, std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(store.LoadFileEntries());  // registers f-c
  ASSERT_TRUE(this->Add("n-d.wav", ManualTimerProcessor::Now()));
  this->processor_->RunPending();
  this->processor_->AdvanceMs(1000);
  EXPECT_EQ(store.Filed(), (Names{"f-c.wav", "n-d.wav"}));
}

TYPED_TEST(FileStoreTest, RemovalAndEvictionStopTheirTimersAndTearDownKeepsTheFiles) {
  auto& store = this->MakeStore(2, 1);
  for (const char* name : {"f-1.wav", "f-2.wav", "f-3.wav", "n-4.wav", "n-5.wav"}) this->Touch(name);
  ASSERT_TRUE(store.LoadFileEntries());  // evicts one of the three f-* files
  const Names loaded = store.Filed();
  ASSERT_TRUE(store.RemoveFileEntry(*loaded.begin()));
  EXPECT_FALSE(store.RemoveFileEntry(*loaded.begin()));
  EXPECT_FALSE(store.AddFileEntry(nullptr));
  EXPECT_EQ(store.expiration_timers().size(), 1u);
  this->Add("n-4.wav", ManualTimerProcessor::Now() + kHour);
  this->Add("n-5.wav", ManualTimerProcessor::Now() + kHour);  // evicts the other loaded one
  EXPECT_EQ(store.Filed(), (Names{"n-4.wav", "n-5.wav"}));
  EXPECT_EQ(store.expiration_timers().size(), 2u);
  store.DestroyFileEntries();
  this->processor_->RunPending();  // starts, then stops: the queue deletes the stopped timers
  this->processor_->AdvanceMs(120000);
  EXPECT_TRUE(store.file_entries().empty() && store.expiration_timers().empty());
  EXPECT_TRUE(this->OnDisk("n-4.wav") && this->OnDisk("n-5.wav"));
  EXPECT_FALSE(this->OnDisk("f-1.wav") || this->OnDisk("f-2.wav") || this->OnDisk("f-3.wav"));
}

using PluginStoreTest = FileStoreTest<Plugin>;
using FrameworkStoreTest = FileStoreTest<Framework>;

TEST_F(PluginStoreTest, EvictsLeastUsedThenOldestThenFirstInserted) {
  auto& store = MakeStore(3, 0);
  ExpectEvictions({{"a", 10, 0, ""},
                   {"b", 5, 2, ""},
                   {"c", 10, 0, ""},
                   {"d", 40, 0, "a"},    // a and c are equal: the first inserted goes
                   {"e", 1, 1, "c"},     // the least used, however new
                   {"f", 50, 0, "d"},    // used ones outlive unused ones, however old
                   {"g", 60, 0, "f"}});  // left: e (used once), b (used twice), g
  ASSERT_TRUE(store.UpdateFileEntryUsage(store.Find("g"), 3));
  ExpectEvictions({{"h", 70, 0, "e"}, {"i", 80, 0, "h"}});
}

TEST_F(FrameworkStoreTest, EvictsOldestFirstAndEqualTimesInInsertionOrder) {
  MakeStore(2, 0);
  ExpectEvictions({{"a", 10, 0, ""}, {"b", 10, 0, ""}, {"c", 20, 0, "a"}, {"d", 5, 0, "b"}, {"e", 30, 0, "d"}});
}

}  // namespace
