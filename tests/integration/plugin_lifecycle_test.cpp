// The real tarnwickss.so, loaded and driven by the host runtime exactly as the
// server drives it: engine open and close, channels, the threads everything
// is acknowledged on, and the plugin's entry points called directly.
#include <dlfcn.h>

#include <apr_general.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace {

using corvex::Host;
using corvex::HostConfig;
using corvex::HostEvent;

std::vector<HostEvent> OfKind(const std::vector<HostEvent>& events, HostEvent::Kind kind) {
  std::vector<HostEvent> out;
  std::copy_if(events.begin(), events.end(), std::back_inserter(out),
               [kind](const HostEvent& e) { return e.kind == kind; });
  return out;
}

class PluginLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!apt_log_instance_get()) apt_log_instance_create(nullptr, APT_PRIO_DEBUG);
    root_ = MakeTestRoot("lifecycle");
    InstallSampleConfig(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  HostConfig Config() const {
    HostConfig config;
    config.root = root_;
    return config;
  }
  std::string root_;
};

TEST_F(PluginLifecycle, OpensOnItsOwnThreadAndClosesInServerOrder) {
  corvex_test::LogCapture log;
  Host host(Config());
  ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
  EXPECT_EQ(log.Exact("TARNWICKSS Plugin Version [1.1.0] Date [2022-09-29]", APT_PRIO_NOTICE), 1u);

  ASSERT_TRUE(host.OpenEngine());
  auto opened = OfKind(host.Events(), HostEvent::Kind::EngineOpened);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(opened[0].status);
  // The open is answered by the engine's own event-processor thread.
  EXPECT_NE(opened[0].thread, std::this_thread::get_id());
  const std::thread::id engine_thread = opened[0].thread;
  // The requester is made from the sample credentials; their key is never logged.
  EXPECT_EQ(log.Exact("Create Brill Requester client-id [14 bytes] client-key [15 bytes] user-id [qelbrill] "
                      "voice-request-url-base [http://127.0.0.1:8390/v1/voice] "
                      "text-request-url-base [http://127.0.0.1:8390/v1/text]",
                      APT_PRIO_INFO),
            1u);

  const int narrow = host.CreateChannel(8000);
  const int wide = host.CreateChannel(16000);
  ASSERT_GE(narrow, 0);
  ASSERT_GE(wide, 0);
  EXPECT_EQ(host.codec(narrow)->sampling_rate, 8000);
  EXPECT_EQ(host.codec(wide)->sampling_rate, 16000);
  // Both rates are offered, as separate LPCM entries; other rates are refused by the host.
  const mpf_stream_capabilities_t* caps = host.channel(narrow)->termination->audio_stream->capabilities;
  ASSERT_NE(caps, nullptr);
  EXPECT_EQ(caps->direction, STREAM_DIRECTION_RECEIVE);
  ASSERT_EQ(caps->codecs.attrib_arr->nelts, 2);
  const auto* entries = reinterpret_cast<const mpf_codec_attribs_t*>(caps->codecs.attrib_arr->elts);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::string(entries[i].name.buf, entries[i].name.length), "LPCM");
    EXPECT_EQ(entries[i].sample_rates, i == 0 ? MPF_SAMPLE_RATE_8000 : MPF_SAMPLE_RATE_16000);
  }
  EXPECT_EQ(entries[0].bits_per_sample, 0);
  EXPECT_LT(host.CreateChannel(32000), 0);
  ASSERT_TRUE(host.OpenChannel(narrow));
  ASSERT_TRUE(host.OpenChannel(wide));
  ASSERT_TRUE(host.CloseChannel(narrow));
  ASSERT_TRUE(host.CloseChannel(wide));
  EXPECT_TRUE(host.DestroyChannel(narrow));
  EXPECT_TRUE(host.DestroyChannel(wide));

  // Channel tasks are posted by the control thread and run on the engine thread.
  auto events = host.Events();
  auto channel_opened = OfKind(events, HostEvent::Kind::ChannelOpened);
  auto channel_closed = OfKind(events, HostEvent::Kind::ChannelClosed);
  ASSERT_EQ(channel_opened.size(), 2u);
  ASSERT_EQ(channel_closed.size(), 2u);
  for (const auto& e : channel_opened) {
    EXPECT_TRUE(e.status);
    EXPECT_EQ(e.thread, engine_thread);
  }
  for (const auto& e : channel_closed) EXPECT_EQ(e.thread, engine_thread);

  ASSERT_TRUE(host.CloseEngine());
  EXPECT_EQ(OfKind(host.Events(), HostEvent::Kind::EngineClosed).size(), 1u);
  EXPECT_EQ(log.Exact("Destroy Brill Requester", APT_PRIO_INFO), 1u);
  host.DestroyEngine();
  EXPECT_EQ(log.Count("your-client-key"), 0u);
}

TEST_F(PluginLifecycle, FailedStartIsReportedFromTheEngineThreadAndCloseIsStillAcknowledged) {
  // Credentials without a client id: the requester cannot be created.
  std::ofstream(root_ + "/data/credentials.json") << "{\"client-key\": \"s3cr3t-key\"}";
  corvex_test::LogCapture log;
  Host host(Config());
  ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
  EXPECT_FALSE(host.OpenEngine());
  auto opened = OfKind(host.Events(), HostEvent::Kind::EngineOpened);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_FALSE(opened[0].status);
  EXPECT_NE(opened[0].thread, std::this_thread::get_id());
  EXPECT_EQ(
      log.Exact("Missing Required Parameter [client-id] in " + root_ + "/data/credentials.json", APT_PRIO_WARNING), 1u);
  EXPECT_EQ(log.Exact("Failed to Create Brill Requester", APT_PRIO_WARNING), 1u);

  EXPECT_TRUE(host.CloseEngine());
  EXPECT_EQ(OfKind(host.Events(), HostEvent::Kind::EngineClosed).size(), 1u);
}

TEST_F(PluginLifecycle, SecondCreateInTheProcessLogsTheBannerAndReturnsNull) {
  corvex_test::LogCapture log;
  Host host(Config());
  ASSERT_TRUE(host.LoadPlugin(TARNWICKSS_PLUGIN_PATH));
  void* library = dlopen(TARNWICKSS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  auto create = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(library, MRCP_PLUGIN_CREATOR_SYM));
  ASSERT_NE(create, nullptr);
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  EXPECT_EQ(create(pool), nullptr);
  EXPECT_EQ(log.Count("TARNWICKSS Plugin Version [1.1.0] Date [2022-09-29]"), 2u);
  apr_pool_destroy(pool);
  dlclose(library);
}

// Runs in a fresh process: the engine-created flag is process-wide.
TEST(PluginCreation, BannerIsLoggedEvenWhenTheServerRefusesTheEngine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        apr_initialize();
        corvex_test::LogCapture log;
        void* library = dlopen(TARNWICKSS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!library) std::exit(2);
        auto create = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(library, MRCP_PLUGIN_CREATOR_SYM));
        // Without a pool the server refuses to create the engine.
        const bool refused = create(nullptr) == nullptr;
        const bool banner = log.Count("TARNWICKSS Plugin Version [1.1.0] Date [2022-09-29]") == 1;
        std::exit(refused && banner ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PluginEntryPoints, LogSourceIsRegisteredUnderThePluginName) {
  void* library = dlopen(TARNWICKSS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  auto set_source =
      reinterpret_cast<mrcp_plugin_log_source_set_f>(dlsym(library, MRCP_PLUGIN_LOG_SOURCE_SET_SYM));
  auto source = static_cast<apt_log_source_t**>(dlsym(library, "TARNWICKSS_PLUGIN"));
  auto version = static_cast<const mrcp_plugin_version_t*>(dlsym(library, MRCP_PLUGIN_VERSION_SYM));
  ASSERT_NE(set_source, nullptr);
  ASSERT_NE(source, nullptr);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->major, 1);
  EXPECT_EQ(version->minor, 7);
  EXPECT_EQ(version->patch, 0);
  EXPECT_EQ(version->build, 0);
  EXPECT_EQ(*source, def_log_source);
  EXPECT_TRUE(set_source(def_log_source));
  ASSERT_NE(*source, nullptr);
  EXPECT_STREQ((*source)->name, "TARNWICKSS-PLUGIN");
  dlclose(library);
}

}  // namespace
