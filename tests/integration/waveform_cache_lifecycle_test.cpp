// The waveform manager inside the real plugin: created on the engine's thread
// at start-up with caching off, and failing the start when its folder cannot
// be made. Loading a cache folder of an earlier run is the waveform manager's
// own test and the SPEAK road's.
#include <gtest/gtest.h>

#include <string>

#include "hosted_plugin.h"

namespace {

using WaveformCacheLifecycle = corvex_test::HostedPlugin;

TEST_F(WaveformCacheLifecycle, CachingOffKeepsPlainFilesOnly) {
  WriteFile(root_ + "/var/tarnwickss-c2-1.wav", "RIFF");
  ASSERT_TRUE(StartHost());
  EXPECT_TRUE(log_.Exact("WVFM total file entries [1] timers [1]", APT_PRIO_NOTICE));
  EXPECT_EQ(log_.Count("Cache Record"), 0u);
  EXPECT_EQ(log_.Count("Load Cache File"), 0u);
  ASSERT_TRUE(host_->CloseEngine());
}

TEST_F(WaveformCacheLifecycle, AFolderThatCannotBeMadeFailsTheStart) {
  WriteFile(root_ + "/var/blocker", "a file where a folder should be");
  Configure("waveform-folder=\"\"", "waveform-folder=\"blocker/cache\"");
  EXPECT_FALSE(StartHost());
  EXPECT_TRUE(log_.Exact("Failed to create directory " + root_ + "/var/blocker/cache/", APT_PRIO_WARNING));
  EXPECT_TRUE(log_.Exact("Failed to Create Waveform Manager", APT_PRIO_WARNING));
  // Everything made on the engine thread so far is undone.
  EXPECT_TRUE(log_.Exact("Destroy Brill Requester", APT_PRIO_INFO));
  EXPECT_TRUE(log_.Exact("Destroy Waveform Manager", APT_PRIO_INFO));
  EXPECT_TRUE(host_->CloseEngine());
}

}  // namespace
