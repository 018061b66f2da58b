// The engine's configuration document: reading, refusing broken documents,
// applying elements, and resolving paths against a real directory layout
// under a fresh temporary root (conf, data, var).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"
#include "apr_pool_test.h"
#include "log_capture.h"
#include "test_root.h"

namespace fs = std::filesystem;
using corvex_test::LogCapture;
using TARNWICKSS::Engine;

namespace {

// The repository's sample configuration, found from this file's location.
const fs::path kSampleDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "conf";

class ConfigDocumentTest : public corvex_test::AprPoolTest {
 protected:
  void SetUp() override {
    AprPoolTest::SetUp();
    MakeRoot("config", {"conf", "data", "var"});
    layout_ = apt_default_dir_layout_create(root_.c_str(), pool_);
    engine_ = std::make_unique<Engine>("TARNWICKSS");
  }

  void TearDown() override {
    engine_.reset();
    AprPoolTest::TearDown();
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  void WriteFile(const std::string& relative, const std::string& content) { ::WriteFile(Path(relative), content); }

  // A document with a credentials file that exists, plus `body` inside the root.
  void WriteDocument(const std::string& body, const std::string& root_attributes = "") {
    WriteFile("data/credentials.json", "{}");
    WriteFile("conf/tarnwickss.xml", "<tarnwickss subscription-key-file=\"credentials.json\" " + root_attributes + ">" +
                                         body + "</tarnwickss>");
  }

  bool Load() { return engine_->LoadConfig("tarnwickss.xml", "tarnwickss", layout_, pool_); }

  bool Logged(apt_log_priority_e priority, const std::string& message) const { return log_.Exact(message, priority); }

  apt_dir_layout_t* layout_ = nullptr;
  LogCapture log_;
  std::unique_ptr<Engine> engine_;
  mrcp_engine_t host_{};  // a server's engine record for Open()
};

TEST_F(ConfigDocumentTest, SampleLoadsCleanlyWithEveryDefault) {
  fs::copy_file(kSampleDir / "tarnwickss.xml", Path("conf/tarnwickss.xml"));
  fs::copy_file(kSampleDir / "credentials.json", Path("data/credentials.json"));
  log_.Clear();
  ASSERT_TRUE(Load()) << log_.WarningText();
  EXPECT_EQ(0u, log_.Warnings()) << log_.WarningText();

  // The sample states the defaults; loading it changes nothing but paths.
  Engine fresh("TARNWICKSS");
  EXPECT_EQ(fresh.synth_settings().language, engine_->synth_settings().language);
  EXPECT_EQ(fresh.waveform_manager_settings().waveform_base_uri,
            engine_->waveform_manager_settings().waveform_base_uri);
  EXPECT_TRUE(fs::equivalent(Path("var"), engine_->waveform_manager_settings().waveform_folder));
  EXPECT_TRUE(fs::equivalent(Path("var"), engine_->sdr_manager_settings().record_folder));
  EXPECT_EQ(Path("data/credentials.json"), engine_->credentials_file());
  // Local files by default from the waveform folder and the data folder.
  EXPECT_EQ(std::vector<std::string>({Path("var/"), Path("data")}), engine_->synth_settings().local_file_folders);
}

TEST_F(ConfigDocumentTest, BrokenDocumentsAreRefused) {
  const std::string path = Path("conf/tarnwickss.xml");
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string message;
  };
  const Case cases[] = {
      {"missing", [] {}, "Failed to Open Config File [" + path + "]"},
      {"a folder", [&] { fs::create_directory(path); }, "Failed to Parse Config File [" + path + "]"},
      {"not well-formed", [&] { WriteFile("conf/tarnwickss.xml", "<tarnwickss><synth-settings></tarnwickss>"); },
       "Failed to Parse Config File [" + path + "]"},
      {"root in other case", [&] { WriteFile("conf/tarnwickss.xml", "<TARNWICKSS/>"); }, "Unknown Document"},
  };
  host_.dir_layout = layout_;
  host_.pool = pool_;
  engine_->SetHostEngine(&host_);
  for (const Case& c : cases) {
    fs::remove_all(path);
    c.make();
    log_.Clear();
    EXPECT_FALSE(engine_->Open()) << c.what;
    EXPECT_TRUE(Logged(APT_PRIO_WARNING, c.message)) << c.what << "\n" << log_.WarningText();
    EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Failed to Load QEL TARNWICKSS Config")) << c.what;
    EXPECT_EQ(nullptr, engine_->event_processor()) << c.what;
  }
}

TEST_F(ConfigDocumentTest, UnknownNamesAreReportedValuesAreExactAndLaterElementsWin) {
  WriteDocument(R"(<bogus a="1"/><SYNTH-SETTINGS Language="fr-FR" caching="true" local-file-folders="p::/srv/a:"/>
                   <waveform-manager max-file-age="12"/>
                   <synth-settings language="it-IT"/>)",
                R"(colour="blue" INIT-SDK="false" shutdown-sdk="False")");
  ASSERT_TRUE(Load());
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Document Attribute <colour>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Element <bogus>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <False> for Boolean Attribute <shutdown-sdk>"));
  EXPECT_EQ(3u, log_.Warnings()) << log_.WarningText();
  EXPECT_FALSE(engine_->init_sdk());
  EXPECT_TRUE(engine_->shutdown_sdk());
  EXPECT_EQ("it-IT", engine_->synth_settings().language);
  EXPECT_TRUE(engine_->synth_settings().caching);
  EXPECT_EQ(12, engine_->waveform_manager_settings().max_file_age);
  // Local file folders: relative ones under the data folder.
  EXPECT_EQ(std::vector<std::string>({Path("data/p"), "/srv/a"}), engine_->synth_settings().local_file_folders);
}

TEST_F(ConfigDocumentTest, CredentialsPatternResolvesUnderTheDataFolder) {
  // Which of several matches wins is the file search's own test; here the
  // pattern must be searched for under the data folder, folders skipped.
  WriteFile("data/keys/only.json", "{}");
  fs::create_directory(Path("data/keys/folder.json"));
  WriteFile("conf/tarnwickss.xml", R"(<tarnwickss subscription-key-file="keys/*.json"/>)");
  ASSERT_TRUE(Load()) << log_.WarningText();
  EXPECT_EQ(Path("data/keys/only.json"), engine_->credentials_file());
  EXPECT_TRUE(Logged(APT_PRIO_NOTICE, "Determined Subscription Key File " + Path("data/keys/only.json")));

  // A path naming a file is used as it is, without a search.
  log_.Clear();
  WriteFile("conf/tarnwickss.xml", "<tarnwickss subscription-key-file=\"" + Path("data/keys/only.json") + "\"/>");
  ASSERT_TRUE(Load());
  EXPECT_EQ(Path("data/keys/only.json"), engine_->credentials_file());
  EXPECT_EQ(0u, log_.Count("Determined Subscription Key File"));

  // Nothing matching: the engine cannot open.
  log_.Clear();
  WriteFile("conf/tarnwickss.xml", R"(<tarnwickss subscription-key-file="keys/*.pem"/>)");
  EXPECT_FALSE(Load());
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Failed to Find Subscription Key File " + Path("data/keys/*.pem")));

  // Nor without any credentials file named at all.
  engine_ = std::make_unique<Engine>("TARNWICKSS");
  WriteFile("conf/tarnwickss.xml", "<tarnwickss/>");
  EXPECT_FALSE(Load());
}

TEST_F(ConfigDocumentTest, PathsResolveAgainstTheServerFolders) {
  WriteDocument(R"(<waveform-manager waveform-folder="waves"/>
                   <sdr-manager record-folder="/srv/records"/>
                   <monitoring-agent>
                     <usage-change-handler>
                       <update-usage enable="true" status-file="usage.txt"/>
                       <dump-channels enable="true" status-file="/run/channels.txt"/>
                     </usage-change-handler>
                     <usage-refresh-handler>
                       <update-usage enable="true"/>
                       <dump-channels enable="false" status-file="off.txt"/>
                     </usage-refresh-handler>
                   </monitoring-agent>)");
  ASSERT_TRUE(Load()) << log_.WarningText();
  EXPECT_EQ(Path("var/waves"), engine_->waveform_manager_settings().waveform_folder);
  EXPECT_EQ("/srv/records", engine_->sdr_manager_settings().record_folder);
  const auto& m = engine_->monitoring_settings();
  EXPECT_EQ(Path("var/status/usage.txt"), m.usage_change_handler.update_usage.status_file);
  EXPECT_EQ("/run/channels.txt", m.usage_change_handler.dump_channels.status_file);
  // Enabled without a name: the status folder itself.
  EXPECT_EQ(fs::path(Path("var/status")) / "", fs::path(m.usage_refresh_handler.update_usage.status_file));
  // Disabled outputs are left alone.
  EXPECT_EQ("off.txt", m.usage_refresh_handler.dump_channels.status_file);
}

}  // namespace
