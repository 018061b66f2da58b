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
#include <vector>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace corvex_test {

struct Speak {
  std::string body;
  std::string voice;                // a voice name or the service's fault switches; none when empty
  bool by_url = false;              // the vendor parameter audio-as-url
  std::string type = "text/plain";  // Content-Type; none when empty
  std::string logging_tag;          // none when empty
};

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

  mrcp_message_t* Request(int channel, const Speak& speak) {
    mrcp_message_t* request = host_->CreateRequest(channel, SYNTHESIZER_SPEAK);
    apr_pool_t* pool = request->pool;
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    auto set = [&](apt_str_t& field, const std::string& value, bool added) {
      if (added) apt_string_assign(&field, value.c_str(), pool);
      return added;
    };
    if (set(generic->content_type, speak.type, !speak.type.empty()))
      mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    if (set(generic->logging_tag, speak.logging_tag, !speak.logging_tag.empty()))
      mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);
    if (set(synth->voice_param.name, speak.voice, !speak.voice.empty()))
      mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    if (speak.by_url) {
      generic->vendor_specific_params = apt_pair_array_create(1, pool);
      apt_pair_array_append(generic->vendor_specific_params, "audio-as-url", "true", pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    }
    set(request->body, speak.body, true);
    return request;
  }
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
  LogCapture log_;  // outlives the host
  std::unique_ptr<corvex::Host> host_;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_HOSTED_PLUGIN_H
