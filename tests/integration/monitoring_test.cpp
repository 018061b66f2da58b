// Channel usage reports as an operator's monitoring agent sees them: the
// usage log line, the usage and channels status files, the refresh timer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace {

namespace fs = std::filesystem;
using corvex::Host;

class Monitoring : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTestRoot("monitoring");
    InstallSampleConfig(root_);
    fs::create_directories(fs::path(root_) / "var" / "status");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Replaces the sample's monitoring element.
  void Configure(const std::string& monitoring) {
    const fs::path conf = fs::path(root_) / "conf" / "tarnwickss.xml";
    std::string text = ReadFile(conf);
    const auto begin = text.find("<monitoring-agent");
    const auto end = text.find("</monitoring-agent>") + std::string("</monitoring-agent>").size();
    text.replace(begin, end - begin, monitoring);
    std::ofstream(conf) << text;
  }
  std::unique_ptr<Host> Start() {
    corvex::HostConfig config;
    config.root = root_;
    config.max_channel_count = 7;
    auto host = std::make_unique<Host>(config);
    EXPECT_TRUE(host->LoadPlugin(TARNWICKSS_PLUGIN_PATH));
    EXPECT_TRUE(host->OpenEngine());
    return host;
  }
  fs::path Status(const std::string& name) const { return fs::path(root_) / "var" / "status" / name; }

  std::string root_;
};

const char* kChangeHandler = R"(<monitoring-agent>
  <usage-change-handler>
    <log-usage enable="true" priority="NOTICE"/>
    <update-usage enable="true" status-file="usage.txt"/>
    <dump-channels enable="true" status-file="channels.txt"/>
  </usage-change-handler>
</monitoring-agent>)";

TEST_F(Monitoring, CountsAndChannelsFollowOpensAndCloses) {
  Configure(kChangeHandler);
  // An operator's relative link to a file elsewhere, which must stay a link,
  // and the file's own permissions.
  const fs::path target = fs::path(root_) / "var" / "agent" / "usage";
  fs::create_directories(target.parent_path());
  std::ofstream(target) << "old";
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("../agent/usage", Status("usage.txt"));
  std::ofstream(Status("channels.txt")) << "old";
  fs::permissions(Status("channels.txt"), fs::perms::owner_read | fs::perms::owner_write);
  corvex_test::LogCapture log;
  auto host = Start();
  // The start reports twice, before and after the managers exist.
  EXPECT_EQ(log.Count("TARNWICKSS Usage: 0/0/7", APT_PRIO_NOTICE), 2u);
  EXPECT_EQ(log.Count("Update usage " + Status("usage.txt").string(), APT_PRIO_DEBUG), 2u);
  EXPECT_EQ(ReadFile(Status("channels.txt")), "");

  int channels[3];
  for (int& c : channels) {
    c = host->CreateChannel(8000);
    ASSERT_TRUE(host->OpenChannel(c));
  }
  ASSERT_TRUE(host->CloseChannel(channels[1]));
  EXPECT_EQ(ReadFile(target), "in-use channels: 2\nmax used channels: 3\ntotal channels: 7\n");
  EXPECT_TRUE(fs::is_symlink(Status("usage.txt")));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::status(Status("channels.txt")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadFile(Status("channels.txt")), std::string(host->channel(channels[0])->id) + "\n" +
                                                  host->channel(channels[2])->id + "\n");
  EXPECT_EQ(log.Count("TARNWICKSS Usage: 2/3/7", APT_PRIO_NOTICE), 1u);
  // Nothing is left beside the status files.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(Status(""))) files += entry.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST_F(Monitoring, AStatusFileThatCannotBeWrittenLeavesTheOtherOutputsRunning) {
  Configure(kChangeHandler);
  fs::create_directories(Status("usage.txt"));  // a folder where the file should be
  corvex_test::LogCapture log;
  auto host = Start();
  const int c = host->CreateChannel(16000);
  ASSERT_TRUE(host->OpenChannel(c));
  EXPECT_GE(log.Count("Failed to Open Status File " + Status("usage.txt").string(), APT_PRIO_WARNING), 3u);
  EXPECT_EQ(ReadFile(Status("channels.txt")), std::string(host->channel(c)->id) + "\n");
  EXPECT_EQ(log.Count("TARNWICKSS Usage: 1/1/7", APT_PRIO_NOTICE), 1u);
}

TEST_F(Monitoring, ReaderNeverSeesAnEmptyOrPartialStatusFile) {
  Configure(kChangeHandler);
  auto host = Start();
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, reads{0};
  std::thread reader([&] {
    while (!done) {
      const std::string text = ReadFile(Status("usage.txt"));
      ++reads;
      if (text.rfind("in-use channels: ", 0) != 0 || text.find("total channels: 7\n") == std::string::npos) ++bad;
    }
  });
  for (int round = 0; round < 30; ++round) {
    const int c = host->CreateChannel(8000);
    ASSERT_TRUE(host->OpenChannel(c));
    ASSERT_TRUE(host->CloseChannel(c));
    ASSERT_TRUE(host->DestroyChannel(c));
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(Monitoring, RefreshRunsOnItsTimerOnly) {
  Configure(R"(<monitoring-agent refresh-period="1">
    <usage-refresh-handler><log-usage enable="true" priority="WARNING"/></usage-refresh-handler>
  </monitoring-agent>)");
  corvex_test::LogCapture log;
  auto host = Start();
  EXPECT_TRUE(log.Contains("Set Usage Refresh Timer [1 sec]"));
  const int c = host->CreateChannel(8000);
  ASSERT_TRUE(host->OpenChannel(c));
  EXPECT_EQ(log.Count("TARNWICKSS Usage:"), 0u);  // the change handler has no output
  EXPECT_TRUE(log.WaitFor("TARNWICKSS Usage: 1/1/7"));
}

TEST_F(Monitoring, NegativeOrHugeRefreshPeriodNeverRefreshes) {
  struct Case {
    const char* period;
    const char* logged;
  } cases[] = {{"-5", "Negative Usage Refresh Period [-5 sec] Treated as 0"},
               {"99999999999999999999", "Set Usage Refresh Timer [9223372036854775807 sec]"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.period);
    Configure(std::string("<monitoring-agent refresh-period=\"") + c.period + R"(">
      <usage-refresh-handler><log-usage enable="true"/></usage-refresh-handler>
    </monitoring-agent>)");
    corvex_test::LogCapture log;
    auto host = Start();
    EXPECT_EQ(log.Count(c.logged), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(log.Count("TARNWICKSS Usage:"), 0u);
  }
}

}  // namespace
