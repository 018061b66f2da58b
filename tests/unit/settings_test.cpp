// Settings records and their loaders: the synthesis defaults, the two manager
// settings, the monitoring settings, and through them the shared boolean
// parser, which takes exactly "true" and "false" (level names are the logger
// test's). Elements are parsed from small XML texts.
#include <apr_general.h>
#include <apr_xml.h>
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "OdaEdpfLogLevel.h"
#include "QelSdrManager.h"
#include "QelTarnwickssPlugin.h"
#include "QelTarnwickssSettings.h"
#include "QelWaveformManager.h"
#include "log_capture.h"

using namespace TARNWICKSS;
using corvex_test::LogCapture;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apr_initialize();
    // Gives the plugin a source of its own, so records show which one they used.
    mrcp_plugin_log_source_set(def_log_source);
  }
  static void TearDownTestSuite() { apr_terminate(); }

  void SetUp() override { apr_pool_create(&pool_, nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }

  const apr_xml_elem* Parse(const std::string& xml) {
    apr_xml_parser* parser = apr_xml_parser_create(pool_);
    apr_xml_doc* doc = nullptr;
    if (apr_xml_parser_feed(parser, xml.data(), xml.size()) != APR_SUCCESS ||
        apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
      ADD_FAILURE() << "bad test XML: " << xml;
      return nullptr;
    }
    return doc->root;
  }

  // Exactly one record with this priority, text and source.
  bool Logged(apt_log_priority_e priority, const std::string& message,
              const std::string& source = "TARNWICKSS-PLUGIN") const {
    int n = 0;
    for (const auto& r : log_.Records()) {
      if (r.priority == priority && r.message == message && r.source == source) ++n;
    }
    return n == 1;
  }

  apr_pool_t* pool_ = nullptr;
  LogCapture log_;
};

TEST_F(SettingsTest, SynthSettingsLoadsNamesInAnyCaseAndValuesExactly) {
  SynthSettings s;
  ASSERT_TRUE(s.Load(Parse(R"(<synth-settings LANGUAGE=" de-DE" Voice-Name="Anna" voice-gender="female"
      bypass-ssml="false" normalize-ssml="false" secure-transport="true" caching="true" reattempt="true"
      audio-as-url="true" http-proxy="http://proxy:3128" service-uri="s" credentials-file="c" region="r"
      prosody-pitch="high"/>)")));
  EXPECT_EQ(" de-DE", s.language);  // no trimming
  EXPECT_EQ("Anna", s.voice_name);
  EXPECT_EQ(VOICE_GENDER_FEMALE, s.voice_gender);
  EXPECT_FALSE(s.bypass_ssml);
  EXPECT_FALSE(s.normalize_ssml);
  EXPECT_TRUE(s.secure_transport && s.caching && s.reattempt && s.audio_as_url);
  EXPECT_EQ("http://proxy:3128", s.http_proxy);
  EXPECT_EQ("s c r", s.service_uri + " " + s.credentials_file + " " + s.region);
  EXPECT_EQ("high", s.prosody.pitch);
  EXPECT_EQ(0u, log_.Warnings()) << log_.WarningText();
  EXPECT_TRUE(Logged(APT_PRIO_DEBUG, "Load Synth Attribute: LANGUAGE =  de-DE"));

  // An empty text replaces, an empty prosody value does not.
  ASSERT_TRUE(s.Load(Parse(R"(<synth-settings language="" prosody-pitch="" voice-gender=""/>)")));
  EXPECT_EQ("", s.language);
  EXPECT_EQ("high", s.prosody.pitch);
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, s.voice_gender);
}

TEST_F(SettingsTest, SynthSettingsRefusesBadValuesAndKeepsThePreviousOnes) {
  SynthSettings s;
  ASSERT_TRUE(s.Load(Parse(R"(<synth-settings caching="yes" bypass-ssml="False" voice-gender="Female" speed="2"/>)")));
  EXPECT_FALSE(s.caching);
  EXPECT_TRUE(s.bypass_ssml);
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, s.voice_gender);
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <yes> for Boolean Attribute <caching>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <False> for Boolean Attribute <bypass-ssml>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <Female> for Attribute <voice-gender>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Synth Attribute <speed>"));
  EXPECT_EQ(4u, log_.Warnings()) << log_.WarningText();
}

// Every number attribute of every loader: wholly a number in its range, or
// refused with a warning while the field keeps its default. The prosody rate
// is narrowed to float before it is scaled (0.3 gives 30.000002); an empty
// prosody value is no value at all.
TEST_F(SettingsTest, NumbersAreWhollyNumbersInTheirRangeOrRefused) {
  constexpr double kUnset = -1e300;  // prosody left unset
  struct Row {
    const char* element;
    const char* attribute;
    const char* value;
    double expected;
    bool refused;
  };
  const Row rows[] = {
      {"waveform-manager", "max-file-count", "1O0", 100, true},
      {"waveform-manager", "max-file-age", "one hour", 60, true},
      {"waveform-manager", "max-file-count", "+5", 5, false},
      {"waveform-manager", "max-file-count", " 5", 100, true},
      {"waveform-manager", "max-file-count", "", 100, true},
      {"waveform-manager", "max-file-age", "-1", 60, true},
      {"waveform-manager", "max-file-age", "99999999999999999999", 60, true},
      {"sdr-manager", "max-file-age", "1.5", 60, true},
      {"sdr-manager", "max-file-count", "0x10", 100, true},
      {"sdr-manager", "max-file-count", "+-3", 100, true},
      {"synth-settings", "deadline", "-5", -5, false},
      {"synth-settings", "deadline", "2147483648", 0, true},
      {"synth-settings", "deadline", "4294967297", 0, true},
      {"synth-settings", "deadline", "12ms", 0, true},
      {"synth-settings", "prosody-rate", "0.3", 30.000002f, false},
      {"synth-settings", "prosody-rate", "", kUnset, false},
      {"synth-settings", "prosody-rate", "2x", kUnset, true},
      {"synth-settings", "prosody-rate", "inf", kUnset, true},
      {"synth-settings", "prosody-rate", "1e39", kUnset, true},
      {"synth-settings", "prosody-volume", "50", 50, false},
      {"synth-settings", "prosody-volume", "0x10", kUnset, true},
      {"synth-settings", "cloud-workers", "256", 256, false},
      {"synth-settings", "cloud-workers", "257", 0, true},
      {"synth-settings", "cloud-workers", "-1", 0, true},
      {"monitoring-agent", "refresh-period", "abc", 60000, true},
      {"monitoring-agent", "refresh-period", "-5", 60000, true},
  };
  for (const Row& row : rows) {
    const std::string attribute = row.attribute;
    SCOPED_TRACE(attribute + "=\"" + row.value + "\"");
    const apr_xml_elem* element = Parse(std::string("<") + row.element + " " + attribute + "=\"" + row.value + "\"/>");
    log_.Clear();
    double loaded = 0;
    if (std::string(row.element) == "synth-settings") {
      SynthSettings s;
      s.Load(element);
      const ProsodyParams& p = s.prosody;
      loaded = attribute == "deadline"        ? s.deadline
               : attribute == "cloud-workers" ? s.cloud_workers
               : attribute == "prosody-rate"
                   ? (p.rate.type == PROSODY_RATE_TYPE_UNKNOWN ? kUnset : p.rate.value.relative)
                   : (p.volume.type == PROSODY_VOLUME_TYPE_UNKNOWN ? kUnset : p.volume.value.numeric);
    } else if (std::string(row.element) == "monitoring-agent") {
      MonitoringSettings m;
      m.Load(element);
      loaded = m.refresh_period;
    } else if (std::string(row.element) == "sdr-manager") {
      SdrManager::Settings r;
      r.Load(element);
      loaded = attribute == "max-file-age" ? r.max_file_age : r.max_file_count;
    } else {
      WaveformManager::Settings w;
      w.Load(element);
      loaded = attribute == "max-file-age" ? w.max_file_age : w.max_file_count;
    }
    EXPECT_EQ(row.expected, loaded);
    EXPECT_EQ(row.refused ? 1u : 0u, log_.Warnings()) << log_.WarningText();
    if (row.refused) {
      EXPECT_TRUE(Logged(APT_PRIO_WARNING,
                         "Unexpected Value <" + std::string(row.value) + "> for Attribute <" + attribute + ">"));
    }
  }
}

TEST_F(SettingsTest, ManagerSettingsDefaultsAndLoading) {
  WaveformManager::Settings w;
  EXPECT_EQ("http://localhost/utterances", w.waveform_base_uri);
  ASSERT_TRUE(w.Load(Parse(R"(<waveform-manager SAVE-WAVEFORMS="true" max-file-age="5" max-file-count="0"
      waveform-base-uri="http://h/u" file-prefix="p-" file-ext=".raw" cache-file-ext=".c" log-level="DEBUG"
      use-logging-tag="true" purge-existing="true"/>)")));
  EXPECT_TRUE(w.save_waveforms && w.purge_existing && w.use_logging_tag);
  EXPECT_EQ(5, w.max_file_age);
  EXPECT_EQ(0, w.max_file_count);
  EXPECT_EQ("http://h/u p- .raw .c",
            w.waveform_base_uri + " " + w.file_prefix + " " + w.file_ext + " " + w.cache_file_ext);
  EXPECT_EQ(OdaEdpf::LogDebug, w.log_level);
  EXPECT_EQ(0u, log_.Warnings()) << log_.WarningText();

  // A refused limit keeps the previous one; level names are exact and
  // quietly ignored.
  ASSERT_TRUE(w.Load(Parse(R"(<waveform-manager max-file-age="-1" log-level="warning" save-waveforms="on" x="1"/>)")));
  EXPECT_EQ(5, w.max_file_age);
  EXPECT_EQ(OdaEdpf::LogDebug, w.log_level);
  EXPECT_TRUE(w.save_waveforms);
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <-1> for Attribute <max-file-age>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <on> for Boolean Attribute <save-waveforms>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Waveform Manager Attribute <x>"));
  EXPECT_EQ(3u, log_.Warnings()) << log_.WarningText();

  log_.Clear();
  SdrManager::Settings r;
  ASSERT_TRUE(r.Load(Parse(R"(<sdr-manager Save-Records="true" max-file-count="2" waveform-folder="w"/>)")));
  EXPECT_TRUE(r.save_records);
  EXPECT_EQ(2, r.max_file_count);
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown SDR Manager Attribute <waveform-folder>"));
}

// Names match whatever the server's locale: in a Turkish one the C
// library's case-blind comparison takes "I" for no capital of "i".
TEST_F(SettingsTest, NamesMatchInATurkishLocaleToo) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "tr_TR.UTF-8")) GTEST_SKIP() << "no tr_TR.UTF-8 locale (scripts/setup makes it)";
  SynthSettings s;
  WaveformManager::Settings w;
  SdrManager::Settings r;
  s.Load(Parse(R"(<synth-settings AUDIO-AS-URL="true"/>)"));
  w.Load(Parse(R"(<waveform-manager FILE-PREFIX="p-"/>)"));
  r.Load(Parse(R"(<sdr-manager MAX-FILE-COUNT="2"/>)"));
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_TRUE(s.audio_as_url);
  EXPECT_EQ("p-", w.file_prefix);
  EXPECT_EQ(2, r.max_file_count);
  EXPECT_EQ(0u, log_.Warnings()) << log_.WarningText();
}

TEST_F(SettingsTest, MonitoringSettingsLoadBothHandlersAndReportStrangers) {
  MonitoringSettings m;
  ASSERT_TRUE(m.Load(Parse(R"(<monitoring-agent Refresh-Period="7" mode="x">
      <usage-change-handler>
        <LOG-USAGE enable="true" priority="WARNING" color="red"/>
        <update-usage enable="true" status-file="usage.txt"/>
        <gossip/>
      </usage-change-handler>
      <usage-refresh-handler every="1">
        <dump-channels enable="TRUE" status-file="/tmp/ch.txt" mode="w"/>
      </usage-refresh-handler>
      <usage-change-handlers/>
    </monitoring-agent>)")));
  EXPECT_EQ(7, m.refresh_period);
  const MonitoringHandler& change = m.usage_change_handler;
  EXPECT_TRUE(change.log_usage.enable);
  EXPECT_EQ(APT_PRIO_WARNING, change.log_usage.priority);
  EXPECT_TRUE(change.update_usage.enable);
  EXPECT_EQ("usage.txt", change.update_usage.status_file);
  EXPECT_FALSE(change.dump_channels.enable);
  const MonitoringHandler& refresh = m.usage_refresh_handler;
  EXPECT_FALSE(refresh.dump_channels.enable);  // "TRUE" is refused
  EXPECT_EQ("/tmp/ch.txt", refresh.dump_channels.status_file);

  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Monitoring Attribute <mode>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Log Statement Attribute <color>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Status File Attribute <mode>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unexpected Value <TRUE> for Boolean Attribute <enable>"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Monitoring Handler Attribute <every>"));
  // Unknown children are reported on the server's own source.
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Element <gossip> in <usage-change-handler>", "CORVEX"));
  EXPECT_TRUE(Logged(APT_PRIO_WARNING, "Unknown Element <usage-change-handlers> in <monitoring-agent>", "CORVEX"));
  EXPECT_EQ(7u, log_.Warnings()) << log_.WarningText();
}

}  // namespace
