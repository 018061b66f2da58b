// HostedPlugin: a test fixture that hosts the real tarnwickss.so in the host
// runtime, as the server does, in a fresh server root holding the sample
// configuration. Tests change the configuration, start the host, open
// channels and send requests from the test thread; log_ outlives the host.
// Include only in programs that define TARNWICKSS_PLUGIN_PATH.
#ifndef TESTS_SUPPORT_HOSTED_PLUGIN_H
#define TESTS_SUPPORT_HOSTED_PLUGIN_H

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace corvex_test {

struct Speak {
  Speak(std::string body = "", std::string voice = "", bool by_url = false, std::string type = "text/plain",
        std::string logging_tag = "")
      : body(std::move(body)),
        voice(std::move(voice)),
        by_url(by_url),
        type(std::move(type)),
        logging_tag(std::move(logging_tag)) {}
  std::string body;
  std::string voice;          // a voice name or the service's fault switches; none when empty
  bool by_url;                // the vendor parameter audio-as-url
  std::string type;           // Content-Type; none when empty
  std::string logging_tag;    // none when empty
  std::string language;       // Speech-Language; none when empty
  std::string cache_control;  // Cache-Control; none when empty
  float rate = 0;             // a relative Prosody-Rate; none when 0
};

// A SPEAK request for `speak` on the host's channel, not yet sent.
inline mrcp_message_t* SpeakRequest(corvex::Host& host, int channel, const Speak& speak) {
  mrcp_message_t* request = host.CreateRequest(channel, SYNTHESIZER_SPEAK);
  apr_pool_t* pool = request->pool;
  mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
  mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
  auto set = [&](apt_str_t& field, const std::string& value) {
    if (!value.empty()) apt_string_assign(&field, value.c_str(), pool);
    return !value.empty();
  };
  if (set(generic->content_type, speak.type)) mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
  if (set(generic->logging_tag, speak.logging_tag))
    mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);
  if (set(generic->cache_control, speak.cache_control))
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CACHE_CONTROL);
  if (set(synth->voice_param.name, speak.voice))
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
  if (set(synth->speech_language, speak.language))
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_SPEECH_LANGUAGE);
  if (speak.rate != 0) {
    synth->prosody_param.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
    synth->prosody_param.rate.value.relative = speak.rate;
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_PROSODY_RATE);
  }
  if (speak.by_url) {
    generic->vendor_specific_params = apt_pair_array_create(1, pool);
    apt_pair_array_append(generic->vendor_specific_params, "audio-as-url", "true", pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
  }
  set(request->body, speak.body);
  return request;
}

class HostedPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTestRoot("hosted");
    InstallSampleConfig(root_);
  }
  void TearDown() override {
    host_.reset();
    std::filesystem::remove_all(root_);
  }

  // Replaces the first `from` of the configuration by `to`.
  void Configure(const std::string& from, const std::string& to) {
    ASSERT_TRUE(ReplaceInFile(root_ + "/conf/tarnwickss.xml", from, to)) << from;
  }
  // Loads the plugin into a new host (after the old one is gone); whether
  // its engine opened.
  bool StartHost(std::size_t max_channels = 100) {
    host_.reset();
    corvex::HostConfig config;
    config.root = root_;
    config.max_channel_count = max_channels;
    config.queue_speaks = queue_speaks_;
    host_ = std::make_unique<corvex::Host>(config);
    EXPECT_TRUE(host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH));
    return host_->OpenEngine();
  }
  // An open channel; with `media` a media thread reads its frames (paced
  // when `realtime`) into `sink`, if any.
  int OpenChannel(unsigned rate, bool media = false, bool realtime = false, corvex::FrameSink* sink = nullptr) {
    const int channel = host_->CreateChannel(rate);
    EXPECT_TRUE(host_->OpenChannel(channel));
    EXPECT_TRUE(!media || host_->StartMedia(channel, sink, realtime));
    return channel;
  }

  mrcp_message_t* Request(int channel, const Speak& speak) { return SpeakRequest(*host_, channel, speak); }
  mrcp_request_id Send(int channel, mrcp_message_t* request) {
    EXPECT_TRUE(host_->SendRequest(channel, request));
    return request->start_line.request_id;
  }
  mrcp_request_id Send(int channel, const Speak& speak) { return Send(channel, Request(channel, speak)); }
  mrcp_request_id Send(int channel, mrcp_method_id method) {
    return Send(channel, host_->CreateRequest(channel, method));
  }

  // Waits for the request's final message (a complete response or
  // SPEAK-COMPLETE); returns all its messages so far.
  std::vector<corvex::HostEvent> Final(int channel, mrcp_request_id id) {
    auto mine = [channel, id](const corvex::HostEvent& e) {
      return e.kind == corvex::HostEvent::Kind::Message && e.channel == channel && e.request_id == id;
    };
    host_->WaitFor([&](const std::vector<corvex::HostEvent>& events) {
      for (const corvex::HostEvent& e : events) {
        if (mine(e) && (e.message_type == MRCP_MESSAGE_TYPE_EVENT ? e.method_id == SYNTHESIZER_SPEAK_COMPLETE
                                                                  : e.request_state == MRCP_REQUEST_STATE_COMPLETE))
          return true;
      }
      return false;
    });
    std::vector<corvex::HostEvent> messages;
    for (const corvex::HostEvent& e : host_->Events())
      if (mine(e)) messages.push_back(e);
    return messages;
  }

  std::string root_;
  bool queue_speaks_ = true;  // off: every SPEAK goes to the plugin, none waits in the host's queue
  LogCapture log_;            // outlives the host
  std::unique_ptr<corvex::Host> host_;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_HOSTED_PLUGIN_H
