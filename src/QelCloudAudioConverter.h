// Cloud audio on its way to a channel: a WAVE byte stream (a header, then
// 16-bit little-endian mono samples at 16000 Hz) taken in pieces of any
// size and handed on as samples at the channel's rate: as they are at
// 16000 Hz, resampled at any other rate.
//
// A RIFF/WAVE header is walked chunk by chunk to its "data" chunk, so chunks
// a service puts before the audio ("LIST", "fact", a longer "fmt ") are never
// played, and its "fmt " is checked: audio that is not 16-bit mono PCM at
// 16000 Hz is refused rather than played at the wrong speed. A stream that
// does not open with "RIFF....WAVE" has its header size skipped, as the
// canonical 44-byte header would be.
//
// An inline answer arrives as one piece, a fetched body in whatever pieces
// the HTTP client delivers. However the stream is cut, the output is the
// same: the header is skipped once, a sample split across two pieces is
// joined, each piece goes to the resampler at once in blocks of at most
// 200 ms (its output does not depend on how its input is split), and Finish
// flushes the resampler, so n input samples give exactly n * rate / 16000
// output samples (rounded down). Only whole samples come out; a half sample
// left at the end is dropped.
//
// Output goes to the sink passed with each call, in runs of at most one
// output block (200 ms at the channel's rate); the bytes are host-order
// 16-bit samples and are valid during the sink call only.
//
// Not thread-safe: one owner (a channel's synthesis context, on the engine
// thread).
#ifndef QEL_CLOUD_AUDIO_CONVERTER_H
#define QEL_CLOUD_AUDIO_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "QelResampler.h"

namespace TARNWICKSS {

class CloudAudioConverter {
 public:
  using Sink = std::function<void(const std::uint8_t* bytes, std::size_t size)>;

  static constexpr unsigned kSourceRate = 16000;
  static constexpr std::size_t kWaveHeaderSize = 44;
  static constexpr std::size_t kInputBlock = 3200;  // samples: 200 ms at the source rate

  CloudAudioConverter();
  ~CloudAudioConverter();
  CloudAudioConverter(const CloudAudioConverter&) = delete;
  CloudAudioConverter& operator=(const CloudAudioConverter&) = delete;

  // What a "fmt " chunk declares.
  struct Format {
    unsigned tag = 0;
    unsigned channels = 0;
    std::uint32_t rate = 0;
    unsigned bits = 0;
  };

  // Begins a stream for a channel at `target_rate` Hz that opens with a
  // WAVE header of (usually) `header_size` bytes, or with samples when it is
  // 0. Keeps the resampler of an earlier stream at the same rate (cleared).
  // False when the resampler refuses the rate; Write and Finish then take
  // nothing and return false.
  bool Start(unsigned target_rate, std::size_t header_size);
  // Takes one piece. False when the resampler failed on a block; that
  // block's output is lost and the stream goes on. Also false once the
  // header declared a format the converter refuses (refused()): the stream
  // then takes nothing more.
  bool Write(const void* data, std::size_t size, const Sink& sink);
  // Ends the stream: converts the partial block and flushes the resampler.
  // False as for Write.
  bool Finish(const Sink& sink);

  bool resampling() const { return resampler_ != nullptr; }
  // The header declared a format other than 16-bit mono PCM at 16000 Hz;
  // format() says which.
  bool refused() const { return refused_; }
  const Format& format() const { return format_; }
  // Whole samples taken and handed on since Start.
  std::uint64_t input_samples() const { return input_samples_; }
  std::uint64_t output_samples() const { return output_samples_; }

 private:
  enum class HeaderPart { kRiff, kChunk, kFormat, kSamples };
  // Consumes header bytes from the front of the piece; false when the
  // format is refused.
  bool TakeHeader(const std::uint8_t*& bytes, std::size_t& size);
  // Acts on a whole header part in part_; false when the format is refused.
  bool OnHeaderPart();
  // Takes `count` little-endian samples at `bytes`.
  bool Take(const std::uint8_t* bytes, std::size_t count, const Sink& sink);
  // Resamples `count` samples of the input block and hands on the result,
  // the resampler's held surplus included.
  bool Convert(std::size_t count, const Sink& sink);
  // Hands on `count` samples of the output block, never more than the
  // input so far allows.
  void Deliver(int count, const Sink& sink);

  unsigned target_rate_ = kSourceRate;
  bool valid_ = false;
  std::size_t header_size_ = 0;
  HeaderPart header_part_ = HeaderPart::kSamples;
  std::uint64_t skip_ = 0;         // bytes still to skip before the current part
  std::uint64_t format_rest_ = 0;  // what follows the first 16 bytes of "fmt "
  std::uint8_t part_[16] = {};
  std::size_t part_fill_ = 0;
  bool refused_ = false;
  Format format_;
  bool odd_byte_pending_ = false;
  std::uint8_t odd_byte_ = 0;
  std::unique_ptr<Resampler> resampler_;  // null at the source rate
  std::vector<std::int16_t> input_block_;
  std::size_t input_fill_ = 0;
  std::vector<std::int16_t> output_block_;
  std::uint64_t input_samples_ = 0;
  std::uint64_t output_samples_ = 0;
};

}  // namespace TARNWICKSS

#endif  // QEL_CLOUD_AUDIO_CONVERTER_H
