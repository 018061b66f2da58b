// The waveform manager inside the real plugin: created on the engine's thread
// at start-up with caching off, and failing the start when its folder cannot
// be made while caching or saved waveforms need it. Loading a cache folder of an earlier run is the waveform manager's
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

// Only caching and saved waveforms need the folder; without them a folder
// that cannot be made is a warning.
TEST_F(WaveformCacheLifecycle, AFolderThatCannotBeMadeFailsTheStartOnlyWhenItIsNeeded) {
  WriteFile(root_ + "/var/blocker", "a file where a folder should be");
  Configure("waveform-folder=\"\"", "waveform-folder=\"blocker/cache\"");
  const std::string folder = root_ + "/var/blocker/cache/";
  for (const std::string needed : {"", "caching", "save-waveforms"}) {
    SCOPED_TRACE(needed);
    if (!needed.empty()) Configure(needed + "=\"false\"", needed + "=\"true\"");
    log_.Clear();
    EXPECT_EQ(StartHost(), needed.empty());
    EXPECT_TRUE(log_.Exact("Failed to create directory " + folder, APT_PRIO_WARNING));
    EXPECT_EQ(log_.Exact("Failed to Create Waveform Manager", APT_PRIO_WARNING), needed.empty() ? 0u : 1u);
    EXPECT_EQ(log_.Exact("Waveform Folder Not Usable [" + folder + "], Caching and Saving Waveforms Are Off",
                         APT_PRIO_WARNING),
              needed.empty() ? 1u : 0u);
    if (!needed.empty()) {
      // Everything made on the engine thread so far is undone.
      EXPECT_TRUE(log_.Exact("Destroy Brill Requester", APT_PRIO_INFO));
      EXPECT_TRUE(log_.Exact("Destroy Waveform Manager", APT_PRIO_INFO));
    }
    EXPECT_TRUE(host_->CloseEngine());
    if (!needed.empty()) Configure(needed + "=\"true\"", needed + "=\"false\"");
  }
}

}  // namespace
