// The waveform manager inside the real plugin: created on the engine's thread
// at start-up with caching on or off, loading a folder left by an earlier run,
// destroyed at close without touching the files, and failing the start when
// its folder cannot be made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace fs = std::filesystem;

namespace {

using corvex::Host;
using corvex::HostConfig;
using corvex_test::LogCapture;

// One attribute-file record: length-prefixed token and value.
std::string Rec(const std::string& token, const std::string& value) {
  auto prefixed = [](const std::string& s) {
    const auto n = static_cast<std::uint32_t>(s.size());
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)} +
           s;
  };
  return prefixed(token) + prefixed(value);
}

class WaveformCacheLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTestRoot("wavecache");
    InstallSampleConfig(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Replaces the first `from` of the installed configuration by `to`.
  void Configure(const std::string& from, const std::string& to) {
    ASSERT_TRUE(ReplaceInFile(root_ + "/conf/tarnwickss.xml", from, to)) << from;
  }
  HostConfig Config() const {
    HostConfig config;
    config.root = root_;
    return config;
  }

  std::string root_;
};

TEST_F(WaveformCacheLifecycle, CachingOnLoadsTheFolderOfAnEarlierRun) {
  Configure("caching=\"false\"", "caching=\"true\"");
  Configure("waveform-folder=\"\"", "waveform-folder=\"cache\"");
  const std::string folder = root_ + "/var/cache/";
  fs::create_directories(folder);
  std::ofstream(folder + "tarnwickss-c1-1.wav") << "RIFF";
  std::ofstream(folder + "tarnwickss-c1-1.cache", std::ios::binary)
      << Rec("checksum", "294") + Rec("use-count", "2") + Rec("content", "abc");
  std::ofstream(folder + "notes.txt") << "not a waveform";

  LogCapture log;
  {
    Host host(Config());
    ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
    ASSERT_TRUE(host.OpenEngine());
    EXPECT_TRUE(log.Exact("Create Waveform Manager", APT_PRIO_INFO));
    EXPECT_TRUE(log.Exact("Populate files from " + folder +
                              " pattern [tarnwickss-*.wav] max-count [100] max-age [60 min] purge-existing [0]",
                          APT_PRIO_NOTICE));
    EXPECT_TRUE(log.Exact("Added Cache Record [tarnwickss-c1-1.wav] checksum [294] total count [1]", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Exact("WVFM total file entries [1] timers [1]", APT_PRIO_NOTICE));
    EXPECT_EQ(log.Count("Mismatch"), 0u);
    ASSERT_TRUE(host.CloseEngine());
  }
  EXPECT_TRUE(log.Exact("Destroy Waveform Manager", APT_PRIO_INFO));
  EXPECT_TRUE(fs::exists(folder + "tarnwickss-c1-1.wav"));
  EXPECT_TRUE(fs::exists(folder + "tarnwickss-c1-1.cache"));
  EXPECT_TRUE(fs::exists(folder + "notes.txt"));
}

TEST_F(WaveformCacheLifecycle, CachingOffKeepsPlainFilesOnly) {
  fs::create_directories(root_ + "/var");
  std::ofstream(root_ + "/var/tarnwickss-c2-1.wav") << "RIFF";
  LogCapture log;
  Host host(Config());
  ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
  ASSERT_TRUE(host.OpenEngine());
  EXPECT_TRUE(log.Exact("WVFM total file entries [1] timers [1]", APT_PRIO_NOTICE));
  EXPECT_EQ(log.Count("Cache Record"), 0u);
  EXPECT_EQ(log.Count("Load Cache File"), 0u);
  ASSERT_TRUE(host.CloseEngine());
}

TEST_F(WaveformCacheLifecycle, AFolderThatCannotBeMadeFailsTheStart) {
  fs::create_directories(root_ + "/var");
  std::ofstream(root_ + "/var/blocker") << "a file where a folder should be";
  Configure("waveform-folder=\"\"", "waveform-folder=\"blocker/cache\"");
  LogCapture log;
  Host host(Config());
  ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
  EXPECT_FALSE(host.OpenEngine());
  EXPECT_TRUE(log.Exact("Failed to create directory " + root_ + "/var/blocker/cache/", APT_PRIO_WARNING));
  EXPECT_TRUE(log.Exact("Failed to Create Waveform Manager", APT_PRIO_WARNING));
  // Everything made on the engine thread so far is undone.
  EXPECT_TRUE(log.Exact("Destroy Brill Requester", APT_PRIO_INFO));
  EXPECT_TRUE(log.Exact("Destroy Waveform Manager", APT_PRIO_INFO));
  EXPECT_TRUE(host.CloseEngine());
}

}  // namespace
