// Channel usage reports as an operator's monitoring agent sees them: the
// usage log line, the usage and channels status files, the refresh timer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "hosted_plugin.h"

namespace {

namespace fs = std::filesystem;

class Monitoring : public corvex_test::HostedPlugin {
 protected:
  void SetUp() override {
    HostedPlugin::SetUp();
    fs::create_directories(Status(""));
  }
  // Replaces the sample's monitoring element and starts a host of 7 channels.
  void Start(const std::string& monitoring) {
    const std::string conf = root_ + "/conf/tarnwickss.xml";
    std::string text = ReadFile(conf);
    const auto begin = text.find("<monitoring-agent");
    const auto end = text.find("</monitoring-agent>") + std::string("</monitoring-agent>").size();
    WriteFile(conf, text.replace(begin, end - begin, monitoring));
    EXPECT_TRUE(StartHost(7));
  }
  fs::path Status(const std::string& name) const { return fs::path(root_) / "var" / "status" / name; }
};

const char* kChangeHandler = R"(<monitoring-agent>
  <usage-change-handler>
    <log-usage enable="true" priority="NOTICE"/>
    <update-usage enable="true" status-file="usage.txt"/>
    <dump-channels enable="true" status-file="channels.txt"/>
  </usage-change-handler>
</monitoring-agent>)";

TEST_F(Monitoring, CountsAndChannelsFollowOpensAndCloses) {
  // An operator's relative link to a file elsewhere, which must stay a link,
  // and the file's own permissions.
  const fs::path target = fs::path(root_) / "var" / "agent" / "usage";
  WriteFile(target, "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("../agent/usage", Status("usage.txt"));
  WriteFile(Status("channels.txt"), "old");
  fs::permissions(Status("channels.txt"), fs::perms::owner_read | fs::perms::owner_write);
  Start(kChangeHandler);
  // The start reports twice, before and after the managers exist.
  EXPECT_EQ(log_.Count("TARNWICKSS Usage: 0/0/7", APT_PRIO_NOTICE), 2u);
  EXPECT_EQ(log_.Count("Update usage " + Status("usage.txt").string(), APT_PRIO_DEBUG), 2u);
  EXPECT_EQ(ReadFile(Status("channels.txt")), "");

  int channels[3];
  for (int& c : channels) c = OpenChannel(8000);
  ASSERT_TRUE(host_->CloseChannel(channels[1]));
  EXPECT_EQ(ReadFile(target), "in-use channels: 2\nmax used channels: 3\ntotal channels: 7\n");
  EXPECT_TRUE(fs::is_symlink(Status("usage.txt")));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::status(Status("channels.txt")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadFile(Status("channels.txt")),
            std::string(host_->channel(channels[0])->id) + "\n" + host_->channel(channels[2])->id + "\n");
  EXPECT_EQ(log_.Count("TARNWICKSS Usage: 2/3/7", APT_PRIO_NOTICE), 1u);
  // Nothing is left beside the status files.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(Status(""))) files += entry.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST_F(Monitoring, AStatusFileThatCannotBeWrittenLeavesTheOtherOutputsRunning) {
  fs::create_directories(Status("usage.txt"));  // a folder where the file should be
  Start(kChangeHandler);
  const int c = OpenChannel(16000);
  EXPECT_GE(log_.Count("Failed to Open Status File " + Status("usage.txt").string(), APT_PRIO_WARNING), 3u);
  EXPECT_EQ(ReadFile(Status("channels.txt")), std::string(host_->channel(c)->id) + "\n");
  EXPECT_EQ(log_.Count("TARNWICKSS Usage: 1/1/7", APT_PRIO_NOTICE), 1u);
}

TEST_F(Monitoring, ReaderNeverSeesAnEmptyOrPartialStatusFile) {
  Start(kChangeHandler);
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
    const int c = OpenChannel(8000);
    ASSERT_TRUE(host_->CloseChannel(c));
    ASSERT_TRUE(host_->DestroyChannel(c));
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(Monitoring, RefreshRunsOnItsTimerOnly) {
  // A negative or overflowing period is refused (the default stays) and a
  // huge one is cut to what a timer can hold: none of them refreshes here.
  const std::pair<const char*, const char*> cases[] = {
      {"1", "Set Usage Refresh Timer [1 sec]"},
      {"-5", "Set Usage Refresh Timer [60000 sec]"},
      {"99999999999999999999", "Set Usage Refresh Timer [60000 sec]"},
      {"9223372036854775807", "Set Usage Refresh Timer [9223372036854775807 sec]"}};
  for (const auto& [period, logged] : cases) {
    SCOPED_TRACE(period);
    host_.reset();
    log_.Clear();
    Start(std::string("<monitoring-agent refresh-period=\"") + period + R"(">
      <usage-refresh-handler><log-usage enable="true" priority="WARNING"/></usage-refresh-handler>
    </monitoring-agent>)");
    EXPECT_EQ(log_.Count(logged), 1u);
    OpenChannel(8000);
    EXPECT_EQ(log_.Count("TARNWICKSS Usage:"), 0u);  // the change handler has no output
    if (std::string(period) == "1") {
      EXPECT_TRUE(log_.WaitFor("TARNWICKSS Usage: 1/1/7"));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(log_.Count("TARNWICKSS Usage:"), 0u);
    }
  }
}

}  // namespace
