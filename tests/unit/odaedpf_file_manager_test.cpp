// The framework's managed file store: what sets it apart from the plugin's
// (order by time alone, messages through its own log facility) and the
// shared behaviour that matters most (load limits, expiry), on real folders.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "OdaEdpfFileManager.h"
#include "OdaEdpfLogger.h"
#include "QelLogRedirectDevice.h"
#include "log_capture.h"
#include "manual_timer_processor.h"
#include "test_root.h"

namespace fs = std::filesystem;
using OdaEdpf::FileManager;

namespace {

using corvex_test::ManualTimerProcessor;

class Store : public FileManager {
 public:
  Store(const std::string& directory, std::uint64_t max_count, std::uint64_t max_age)
      : FileManager(facility_), facility_("SDRM", OdaEdpf::LogDebug) {
    SetDirectory(directory);
    max_count_ = max_count;
    max_age_ = max_age;
    file_prefix_ = "r-";
    file_suffix_ = ".json";
    SetClock(ManualTimerProcessor::Now);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : file_entries()) names.push_back(item.second->name);
    return names;
  }

 private:
  OdaEdpf::LogFacility facility_;
};

// The framework logger forwarding to the server log, for one test.
struct RunningLogger {
  RunningLogger() {
    OdaEdpf::Logger* logger = OdaEdpf::Logger::CreateInstance();
    logger->AddLogDevice(new TARNWICKSS::LogRedirectDevice());
    logger->Start();
  }
  ~RunningLogger() { OdaEdpf::Logger::DestroyInstance(); }
};

class OdaEdpfFileManagerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override {
    root_ = MakeTestRoot("odaedpf-files");
    dir_ = root_ + "/records/";
    fs::create_directories(dir_);
    ManualTimerProcessor::SetNow(apr_time_now());
  }
  void TearDown() override {
    store_.reset();
    processor_.reset();
    fs::remove_all(root_);
  }
  Store& MakeStore(std::uint64_t max_count, std::uint64_t max_age) {
    store_ = std::make_unique<Store>(dir_, max_count, max_age);
    store_->SetTimerProcessor(processor_.get());
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

TEST_F(OdaEdpfFileManagerTest, EvictsOldestFirstAndEqualTimesInInsertionOrder) {
  Store& store = MakeStore(2, 0);
  for (const char* name : {"a", "b", "c", "d"}) Touch(name);
  store.AddFileEntry("a", 20);
  store.AddFileEntry("b", 10);
  store.AddFileEntry("c", 10);  // evicts b: oldest, and first of the equal times
  EXPECT_FALSE(OnDisk("b"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"c", "a"}));
  store.AddFileEntry("d", 30);
  EXPECT_FALSE(OnDisk("c"));
  EXPECT_EQ(store.Names(), (std::vector<std::string>{"a", "d"}));
  EXPECT_FALSE(store.RemoveFileEntry(std::string("b")));
}

TEST_F(OdaEdpfFileManagerTest, LoadAndExpiryLogThroughItsOwnFacility) {
  auto logger = std::make_unique<RunningLogger>();
  for (int i = 0; i < 5; ++i) Touch("r-" + std::to_string(i) + ".json");
  Touch("other.json");
  ManualTimerProcessor::SetNow(apr_time_now());  // not before the files' change times
  Store& store = MakeStore(3, 1);
  ASSERT_TRUE(store.LoadFileEntries());
  EXPECT_EQ(store.file_entries().size(), 3u);
  EXPECT_EQ(store.expiration_timers().size(), 3u);
  EXPECT_TRUE(OnDisk("other.json"));
  processor_->RunPending();
  processor_->AdvanceMs(60000);
  EXPECT_TRUE(store.file_entries().empty());
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(OnDisk("r-" + std::to_string(i) + ".json"));

  // Records reach the server log through the logger's thread.
  ASSERT_TRUE(log_.WaitFor("SDRM total file entries [0] timers [0]"));
  logger.reset();  // flushes what was posted
  EXPECT_EQ(log_.Count("[max file count]", APT_PRIO_NOTICE), 2u);
  EXPECT_EQ(log_.Count("[timed out]", APT_PRIO_NOTICE), 3u);
  EXPECT_EQ(log_.Count("pattern [r-*.json] max-count [3] max-age [1 min] purge-existing [0]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(log_.Count("SDRM total file entries [3] timers [3]", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(log_.Warnings(), 0u) << log_.WarningText();
}

}  // namespace
