// AudioCapture: a frame sink that keeps the audio each channel played, as
// the host's media threads read it, until the test takes it.
#ifndef TESTS_SUPPORT_AUDIO_CAPTURE_H
#define TESTS_SUPPORT_AUDIO_CAPTURE_H

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "corvex/host_runtime.hpp"

namespace corvex_test {

class AudioCapture : public corvex::FrameSink {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // Media threads: keeps the bytes of every frame that carried audio.
  void OnFrame(int channel, const mpf_frame_t& frame) override {
    if (!(frame.type & MEDIA_FRAME_TYPE_AUDIO)) return;
    const auto* bytes = static_cast<const std::uint8_t*>(frame.codec_frame.buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes& audio = audio_[channel];
    audio.insert(audio.end(), bytes, bytes + frame.codec_frame.size);
  }
  // What the channel played since the last call; nothing is kept for it.
  Bytes Take(int channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes taken;
    const auto it = audio_.find(channel);
    if (it != audio_.end()) {
      taken.swap(it->second);
      audio_.erase(it);
    }
    return taken;
  }

 private:
  std::mutex mutex_;
  std::map<int, Bytes> audio_;  // guarded by mutex_
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_AUDIO_CAPTURE_H
