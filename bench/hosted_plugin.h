// The built plugin hosted as the server hosts it, for the benchmarks that
// time whole SPEAKs: a server root whose credentials point at a speech
// service, one channel at a rate, media read back to back, and SPEAKs whose
// milestones are timed on the host's own clock.
#ifndef BENCH_HOSTED_PLUGIN_H
#define BENCH_HOSTED_PLUGIN_H

#include <apr_time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corvex/host_runtime.hpp"
#include "test_speech_service.h"

namespace bench {

// Writes the credentials file of `root` so that the plugin talks to
// `service`.
inline void PointAtService(const std::string& root, const corvex_test::TestSpeechService& service) {
  std::ofstream(root + "/data/credentials.json")
      << "{\"client-id\": \"" << corvex_test::TestSpeechService::kClientId << "\", \"client-key\": \""
      << corvex_test::TestSpeechService::kClientKey << "\", \"text-request-url-base\": \"" << service.text_url()
      << "\"}";
}

// The p-th quantile (0..1) of `values`, linearly interpolated; 0 for none.
inline double Quantile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double at = p * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(std::floor(at));
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

// Notes when the channel first plays audio after being armed.
class FirstAudioSink : public corvex::FrameSink {
 public:
  void Arm() {
    first_us_.store(0, std::memory_order_release);
    armed_.store(true, std::memory_order_release);
  }
  // apr_time_now() of the first audio frame since Arm, or 0.
  apr_time_t first_us() const { return first_us_.load(std::memory_order_acquire); }
  void OnFrame(int, const mpf_frame_t& frame) override {
    if ((frame.type & MEDIA_FRAME_TYPE_AUDIO) && armed_.exchange(false, std::memory_order_acq_rel)) {
      first_us_.store(apr_time_now(), std::memory_order_release);
    }
  }

 private:
  std::atomic<bool> armed_{false};
  std::atomic<apr_time_t> first_us_{0};
};

class HostedPlugin {
 public:
  // What one SPEAK took, in seconds from its delivery; negative when it did
  // not happen.
  struct Times {
    double in_progress = -1;
    double first_audio = -1;
    bool completed = false;  // SPEAK-COMPLETE with cause 000
  };

  // Loads the plugin on `root`, opens its engine and one channel at `rate`.
  HostedPlugin(const std::string& root, unsigned rate) {
    corvex::HostConfig config;
    config.root = root;
    host_ = std::make_unique<corvex::Host>(config);
    ok_ = host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH) && host_->OpenEngine();
    channel_ = ok_ ? host_->CreateChannel(rate) : -1;
    ok_ = ok_ && channel_ >= 0 && host_->OpenChannel(channel_) && host_->StartMedia(channel_, &sink_, false);
  }
  ~HostedPlugin() { host_.reset(); }  // before the sink

  bool ok() const { return ok_; }
  corvex::Host& host() { return *host_; }

  // Sends a plain-text SPEAK with `voice` (none when empty) and the vendor
  // parameters `vendor` ("name=value" pairs), and waits for its end.
  Times Speak(const std::string& text, const std::string& voice,
              const std::vector<std::pair<std::string, std::string>>& vendor = {}) {
    Times times;
    mrcp_message_t* request = host_->CreateRequest(channel_, SYNTHESIZER_SPEAK);
    if (!request) return times;
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    apt_string_assign(&generic->content_type, "text/plain", request->pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    if (!voice.empty()) {
      apt_string_assign(&synth->voice_param.name, voice.c_str(), request->pool);
      mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    }
    if (!vendor.empty()) {
      generic->vendor_specific_params = apt_pair_array_create(static_cast<int>(vendor.size()), request->pool);
      for (const auto& [name, value] : vendor) {
        apt_pair_array_append(generic->vendor_specific_params, name.c_str(), value.c_str(), request->pool);
      }
      mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    }
    apt_string_assign(&request->body, text.c_str(), request->pool);
    const mrcp_request_id id = request->start_line.request_id;
    host_->TakeEvents();  // only this SPEAK's are looked at below
    sink_.Arm();
    const apr_time_t sent = apr_time_now();
    host_->SendRequest(channel_, request);
    apr_time_t in_progress = 0;
    host_->WaitFor([&](const std::vector<corvex::HostEvent>& events) {
      for (const corvex::HostEvent& event : events) {
        if (event.kind != corvex::HostEvent::Kind::Message || event.channel != channel_ || event.request_id != id) {
          continue;
        }
        if (event.request_state == MRCP_REQUEST_STATE_INPROGRESS) in_progress = event.time_us;
        if (event.message_type == MRCP_MESSAGE_TYPE_EVENT || event.request_state == MRCP_REQUEST_STATE_COMPLETE) {
          times.completed = event.message_type == MRCP_MESSAGE_TYPE_EVENT && event.has_completion_cause &&
                            event.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
          return true;
        }
      }
      return false;
    });
    if (in_progress) times.in_progress = static_cast<double>(in_progress - sent) / 1e6;
    if (const apr_time_t first = sink_.first_us()) times.first_audio = static_cast<double>(first - sent) / 1e6;
    return times;
  }

 private:
  FirstAudioSink sink_;
  std::unique_ptr<corvex::Host> host_;
  int channel_ = -1;
  bool ok_ = false;
};

}  // namespace bench

#endif  // BENCH_HOSTED_PLUGIN_H
