// The plugin-interface library as a plugin sees it: the field reader,
// messages, presence flags, directory layout, the refusals that protect the
// server, and the logger. The line reader is the URI list's test; what the
// plugin makes of the rest is the integration tests'.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "apr_pool_test.h"
#include "corvex/apt.h"
#include "corvex/apt_log.h"
#include "corvex/mpf.h"
#include "corvex/mrcp_engine.h"
#include "corvex/mrcp_message.h"
#include "log_capture.h"

namespace {

using corvex_test::Str;

using CorvexApiTest = corvex_test::AprPoolTest;

// Reads all fields of text; the text buffer is deliberately not terminated
// at `length` so readers that run past it are caught.
std::vector<std::string> Fields(std::string text, std::size_t length, char sep, bool skip) {
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, &text[0], length);
  std::vector<std::string> out;
  apt_str_t field;
  while (apt_text_field_read(&stream, sep, skip ? TRUE : FALSE, &field)) out.push_back(Str(field));
  EXPECT_EQ(field.length, 0u);  // the failed read at the end yields an empty field
  EXPECT_TRUE(apt_text_is_eos(&stream));
  return out;
}

TEST_F(CorvexApiTest, FieldReaderSkipsLeadingBlanksKeepsTrailingAndHonoursLength) {
  const std::string text = "  alpha \t,beta,, \tgamma  ,XXXX";
  const std::size_t length = text.size() - 5;  // stops before ",XXXX"
  EXPECT_EQ(Fields(text, length, ',', true), (std::vector<std::string>{"alpha \t", "beta", "", "gamma  "}));
  EXPECT_EQ(Fields(text, length, ',', false), (std::vector<std::string>{"  alpha \t", "beta", "", " \tgamma  "}));
  // Only blanks left: still a field (empty), not the end.
  EXPECT_EQ(Fields("a,   ", 5, ',', true), (std::vector<std::string>{"a", ""}));
  // A trailing separator leaves the cursor at the end: no further field.
  EXPECT_EQ(Fields("a,", 2, ',', true), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(Fields("", 0, ',', true).empty());
}

TEST_F(CorvexApiTest, ResponseAndEventCarryTheRequestIdentityIntoTheirOwnPool) {
  apr_pool_t* request_pool;
  apr_pool_create(&request_pool, pool_);
  mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_1, SYNTHESIZER_SPEAK, 42, request_pool);
  ASSERT_NE(request, nullptr);
  apt_string_assign(&request->channel_id, "abc@speechsynth", request_pool);

  mrcp_message_t* response = mrcp_response_create(request, pool_);
  mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, pool_);
  ASSERT_NE(response, nullptr);
  ASSERT_NE(event, nullptr);
  apr_pool_destroy(request_pool);  // answers must not point into the request

  EXPECT_EQ(response->start_line.version, MRCP_VERSION_1);
  EXPECT_EQ(response->start_line.request_id, 42u);
  EXPECT_EQ(Str(response->channel_id), "abc@speechsynth");
  EXPECT_EQ(Str(event->start_line.method_name), "SPEAK-COMPLETE");
  EXPECT_EQ(event->start_line.request_id, 42u);
  EXPECT_EQ(Str(event->channel_id), "abc@speechsynth");
}

TEST_F(CorvexApiTest, PresenceFlagsNeedTheirBlockAndAKnownId) {
  corvex_test::LogCapture log;
  mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, 7, pool_);
  EXPECT_FALSE(mrcp_generic_header_property_add(m, GENERIC_HEADER_CONTENT_TYPE));  // no block yet
  mrcp_synth_header_t* synth = mrcp_resource_header_prepare(m);
  EXPECT_EQ(synth->voice_param.gender, VOICE_GENDER_UNKNOWN);  // not 0, which is male
  EXPECT_FALSE(mrcp_resource_header_property_add(m, static_cast<mrcp_synthesizer_header_id>(-1)));
  ASSERT_NE(mrcp_generic_header_prepare(m), nullptr);
  EXPECT_TRUE(mrcp_generic_header_property_add(m, GENERIC_HEADER_SET_COOKIE2));
  // A flag without its block does not count.
  m->generic_header = nullptr;
  EXPECT_FALSE(mrcp_generic_header_property_check(m, GENERIC_HEADER_SET_COOKIE2));
  EXPECT_EQ(log.Warnings(), 2u) << log.WarningText();
}

TEST_F(CorvexApiTest, DirLayoutPathsAndRefusals) {
  corvex_test::LogCapture log;
  apt_dir_layout_t* layout = apt_default_dir_layout_create("/srv/corvex/", pool_);
  ASSERT_NE(layout, nullptr);
  EXPECT_STREQ(apt_dir_layout_path_get(layout, APT_LAYOUT_PLUGIN_DIR), "/srv/corvex/plugin");
  EXPECT_STREQ(apt_confdir_filepath_get(layout, "tarnwickss.xml", pool_), "/srv/corvex/conf/tarnwickss.xml");
  EXPECT_TRUE(apt_dir_layout_path_set(layout, APT_LAYOUT_VAR_DIR, "/tmp/var/", pool_));
  EXPECT_STREQ(apt_vardir_filepath_get(layout, "status", pool_), "/tmp/var/status");
  EXPECT_EQ(apt_dir_layout_path_get(layout, APT_LAYOUT_DIR_COUNT), nullptr);
  EXPECT_EQ(log.Warnings(), 1u) << log.WarningText();
}

TEST_F(CorvexApiTest, AcknowledgementsWithoutTheServersEventTablesAreRefused) {
  corvex_test::LogCapture log;
  static const mrcp_engine_method_vtable_t engine_table = {};
  static const mpf_audio_stream_vtable_t stream_table = {};
  static const mrcp_engine_channel_method_vtable_t channel_table = {};
  int obj = 0;
  mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool_);
  mrcp_engine_t* engine = mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, &obj, &engine_table, pool_);
  mpf_termination_t* term = mrcp_engine_audio_termination_create(&obj, &stream_table, caps, pool_);
  mrcp_engine_channel_t* channel = mrcp_engine_channel_create(engine, &channel_table, &obj, term, pool_);
  ASSERT_NE(channel, nullptr);
  EXPECT_FALSE(mrcp_engine_open_respond(engine, TRUE));
  EXPECT_FALSE(mrcp_engine_channel_open_respond(channel, TRUE));
  EXPECT_EQ(log.Warnings(), 2u) << log.WarningText();
}

// ---------------------------------------------------------------- logging

// Logs the record and returns whether it was written, which the check made
// before must have foretold.
bool Logged(apt_log_source_t* source, int priority, const char* text) {
  const auto prio = static_cast<apt_log_priority_e>(priority);
  const bool foretold = apt_log_priority_check(source, prio);
  const bool written = apt_log(source, APT_LOG_MARK, prio, "%s", text);
  EXPECT_EQ(foretold, written) << text;
  return written;
}

TEST(CorvexLogTest, ThresholdsSourcesAndTheExtHandler) {
  ASSERT_EQ(apt_log_instance_get(), nullptr);
  EXPECT_FALSE(Logged(nullptr, APT_PRIO_EMERGENCY, "no logger: dropped"));
  corvex_test::LogCapture log(APT_PRIO_NOTICE);
  EXPECT_EQ(apt_log_instance_create(nullptr, APT_PRIO_DEBUG), nullptr);  // one per process

  apt_log_source_t* plugin = nullptr;
  apt_log_source_t* again = nullptr;
  ASSERT_TRUE(apt_log_source_assign("TEST-PLUGIN", &plugin));
  ASSERT_TRUE(apt_log_source_assign("TEST-PLUGIN", &again));
  EXPECT_EQ(plugin, again);
  EXPECT_STREQ(plugin->name, "TEST-PLUGIN");
  EXPECT_FALSE(apt_log_source_assign(nullptr, &again));
  log.Clear();

  EXPECT_TRUE(apt_log(plugin, APT_LOG_MARK, APT_PRIO_NOTICE, "value %d of %s", 5, "x"));
  EXPECT_FALSE(Logged(plugin, APT_PRIO_INFO, "above the logger threshold"));
  plugin->priority = APT_PRIO_ERROR;
  EXPECT_FALSE(Logged(plugin, APT_PRIO_WARNING, "above the source threshold"));
  EXPECT_TRUE(Logged(def_log_source, APT_PRIO_WARNING, "default source unaffected"));
  plugin->priority = APT_PRIO_DEBUG;
  EXPECT_TRUE(Logged(nullptr, APT_PRIO_ERROR, "no source"));
  EXPECT_FALSE(Logged(plugin, 42, "clamped"));
  apt_log_threshold_set(APT_PRIO_DEBUG);
  EXPECT_TRUE(Logged(plugin, 42, "clamped"));

  const std::vector<corvex_test::LogRecord> r = log.Records();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].source + ": " + r[0].message, "TEST-PLUGIN: value 5 of x");
  EXPECT_EQ(r[2].source, "CORVEX");
  EXPECT_EQ(r[3].priority, APT_PRIO_DEBUG);

  // Long records are cut at 4095 bytes.
  log.Clear();
  std::string big(10000, 'z');
  EXPECT_TRUE(apt_log(nullptr, APT_LOG_MARK, APT_PRIO_ERROR, "%s", big.c_str()));
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_EQ(log.Records()[0].message, std::string(4095, 'z'));
}

TEST(CorvexLogTest, FileLoggerWritesOneWholeLinePerRecordFromManyThreads) {
  char path[] = "/tmp/corvex_log_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_NE(apt_log_file_instance_create(path, APT_PRIO_INFO), nullptr);
  constexpr int kThreads = 4, kRecords = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) {
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_INFO, "thread %d record %d\nwith a line break", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  apt_log(nullptr, APT_LOG_MARK, APT_PRIO_DEBUG, "dropped");
  ASSERT_TRUE(apt_log_instance_destroy());
  EXPECT_FALSE(apt_log_instance_destroy());

  std::ifstream in(path);
  const std::regex shape(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[INFO\] \[CORVEX\] thread \d record \d+ with a line break)");
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    ASSERT_TRUE(std::regex_match(line, shape)) << line;
  }
  EXPECT_EQ(lines, kThreads * kRecords);
  std::remove(path);
}

}  // namespace
