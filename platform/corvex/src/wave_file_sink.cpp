// WaveFileSink: one 16-bit mono WAVE file per channel.
//
// A channel's file is opened on its first frame with a provisional header;
// the RIFF and data sizes are written when the sink is destroyed, so the
// sink must outlive every media thread that feeds it. OnFrame may run on
// several media threads at once; mutex_ guards files_ and every File.
#include <cstdio>
#include <cstring>

#include "corvex/host_runtime.hpp"

namespace corvex {

namespace {

constexpr std::size_t kHeaderSize = 44;
// RIFF sizes are 32-bit: the data chunk stops growing where the RIFF size would overflow.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderSize - 8) - 1;

void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The canonical 44-byte header of PCM, mono, 16 bits per sample.
void FillHeader(unsigned char* h, unsigned rate, std::uint32_t data_bytes) {
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, 36 + data_bytes + (data_bytes & 1));  // a pad byte keeps chunks even
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  Put32(h + 16, 16);
  Put16(h + 20, 1);  // PCM
  Put16(h + 22, 1);  // mono
  Put32(h + 24, rate);
  Put32(h + 28, rate * 2);  // byte rate
  Put16(h + 32, 2);         // block align
  Put16(h + 34, 16);        // bits per sample
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, data_bytes);
}

std::string ChannelPath(const std::string& pattern, int channel) {
  std::string index = std::to_string(channel);
  std::size_t at = pattern.find("%d");
  if (at != std::string::npos) return pattern.substr(0, at) + index + pattern.substr(at + 2);
  // Without "%d", channels other than 0 get "-<index>" before the extension
  // so that they do not overwrite each other.
  if (channel == 0) return pattern;
  std::size_t slash = pattern.find_last_of('/');
  std::size_t dot = pattern.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return pattern + "-" + index;
  return pattern.substr(0, dot) + "-" + index + pattern.substr(dot);
}

}  // namespace

struct WaveFileSink::File {
  std::FILE* stream = nullptr;
  std::string path;
  std::uint64_t data_bytes = 0;
  std::uint64_t audio_frames = 0;
  bool full_reported = false;
};

WaveFileSink::WaveFileSink(std::string path_pattern, unsigned rate, bool gaps_as_silence)
    : pattern_(std::move(path_pattern)), rate_(rate), gaps_as_silence_(gaps_as_silence) {}

WaveFileSink::~WaveFileSink() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& file : files_) {
    if (!file || !file->stream) continue;
    auto data_bytes = static_cast<std::uint32_t>(file->data_bytes);
    if (data_bytes & 1) std::fputc(0, file->stream);
    unsigned char header[kHeaderSize];
    FillHeader(header, rate_, data_bytes);
    if (std::fseek(file->stream, 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, sizeof(header), file->stream) != sizeof(header)) {
      apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "cannot finalize %s", file->path.c_str());
    }
    std::fclose(file->stream);
  }
}

void WaveFileSink::OnFrame(int channel, const mpf_frame_t& frame) {
  if (channel < 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (files_.size() <= static_cast<std::size_t>(channel)) files_.resize(channel + 1);
  std::unique_ptr<File>& file = files_[channel];
  if (!file) {
    // Once per channel: open and reserve the header.
    file = std::make_unique<File>();
    file->path = ChannelPath(pattern_, channel);
    file->stream = std::fopen(file->path.c_str(), "wb");
    unsigned char header[kHeaderSize];
    FillHeader(header, rate_, 0);
    if (!file->stream || std::fwrite(header, 1, sizeof(header), file->stream) != sizeof(header)) {
      apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "cannot write %s", file->path.c_str());
      if (file->stream) std::fclose(file->stream);
      file->stream = nullptr;
    }
  }
  static const unsigned char kSilence[640] = {};  // a 10 ms frame at up to 32000 Hz
  const bool audio = (frame.type & MEDIA_FRAME_TYPE_AUDIO) != 0;
  if (!audio && !gaps_as_silence_) return;
  if (audio) ++file->audio_frames;
  std::size_t size = frame.codec_frame.size;
  const void* data = audio ? frame.codec_frame.buffer : kSilence;
  if (!audio && size > sizeof(kSilence)) size = sizeof(kSilence);
  if (!file->stream || !data || size == 0) return;
  if (file->data_bytes + size > kMaxDataBytes) {
    if (!file->full_reported) {
      file->full_reported = true;
      apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "%s is full; further audio dropped", file->path.c_str());
    }
    return;
  }
  file->data_bytes += std::fwrite(data, 1, size, file->stream);
}

std::uint64_t WaveFileSink::audio_frames(int channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (channel < 0 || static_cast<std::size_t>(channel) >= files_.size() || !files_[channel]) return 0;
  return files_[channel]->audio_frames;
}

}  // namespace corvex
