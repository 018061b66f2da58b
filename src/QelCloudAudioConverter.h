// WAVE audio on its way to a channel, from any source: cloud audio (inline
// or fetched), cached waveforms and local files. The stream is read by the
// one WAVE reader (QelWaveReader.h) and its samples handed on at the
// channel's rate: as they are when the WAVE is at that rate, resampled when
// it is at 16000 Hz (the cloud's rate) and the channel at 8000 Hz. Anything
// else is refused before a sample is handed on, rather than played at the
// wrong speed or as noise.
//
// A fetched body comes in pieces of any size; however the stream is cut,
// the output is the same: the header is walked once, a sample split across
// two pieces is joined, each piece goes to the resampler at once in blocks
// of at most 200 ms (its output does not depend on how its input is split),
// and Finish flushes the resampler, so n input samples give exactly
// n * rate / 16000 output samples (rounded down). Only whole samples come
// out; a half sample left at the end is dropped.
//
// A WAVE held whole (a file, inline audio) is checked whole first
// (StartWhole): header, data all there, at least one sample; only then is
// any of it converted (ConvertWhole), so a refused one queues nothing.
//
// Output goes to the sink passed with each call, in runs of at most one
// output block (200 ms at the channel's rate); the bytes are host-order
// 16-bit samples and are valid during the sink call only.
//
// Not thread-safe: one owner (a channel's synthesis context, or the channel
// playing a file), on the engine thread.
#ifndef QEL_CLOUD_AUDIO_CONVERTER_H
#define QEL_CLOUD_AUDIO_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QelResampler.h"
#include "QelWaveReader.h"

namespace TARNWICKSS {

class CloudAudioConverter {
 public:
  using Sink = std::function<void(const std::uint8_t* bytes, std::size_t size)>;
  // Reads the next `count` bytes of a whole WAVE into `buffer`; returns how
  // many it could (fewer only at the end, or on a read error).
  using ReadNext = std::function<std::size_t(std::uint8_t* buffer, std::size_t count)>;

  static constexpr unsigned kSourceRate = 16000;    // the cloud's rate, converted for an 8000 Hz channel
  static constexpr std::size_t kInputBlock = 3200;  // samples: 200 ms at the source rate

  CloudAudioConverter();
  ~CloudAudioConverter();
  CloudAudioConverter(const CloudAudioConverter&) = delete;
  CloudAudioConverter& operator=(const CloudAudioConverter&) = delete;

  // Begins a WAVE stream for a channel at `target_rate` Hz. Keeps the
  // resampler of an earlier stream for the same rates (cleared).
  void Start(unsigned target_rate);
  // Takes one piece. False once the stream is refused (refused(): the
  // header, or its rate for this channel; the stream then takes nothing
  // more), and when the resampler failed on a block (that block's output is
  // lost, the stream goes on, intact() turns false).
  bool Write(const void* data, std::size_t size, const Sink& sink);
  // Ends the stream: flushes the resampler (Write leaves no input behind).
  // False when the stream held no playable audio (refused(): cut short,
  // never reached its data, not one sample) or the resampler failed.
  bool Finish(const Sink& sink);

  // A whole WAVE of `size` bytes, read in order through `read`: walks its
  // header and checks that its data is all there and holds a sample, before
  // anything is handed on. False when it is not playable (refused()).
  // `read` must outlive ConvertWhole.
  bool StartWhole(unsigned target_rate, std::uint64_t size, const ReadNext& read);
  // Converts the audio StartWhole accepted to `sink`. False when the source
  // ended early or the resampler failed on a block.
  bool ConvertWhole(const Sink& sink);
  // The audio bytes StartWhole found, before ConvertWhole.
  std::uint64_t whole_audio_bytes() const { return whole_left_; }

  bool refused() const { return reader_.problem() != WaveReader::Problem::kNone; }
  const WaveReader& reader() const { return reader_; }
  // The header has been accepted, and the resampler is in use.
  bool resampling() const { return resample_; }
  // No block was lost to the resampler since Start.
  bool intact() const { return intact_; }
  // Whole samples taken and handed on since Start; a sink call sees the
  // count of the samples before its own (0 in the stream's first).
  std::uint64_t input_samples() const { return input_samples_; }
  std::uint64_t output_samples() const { return output_samples_; }

 private:
  // Decides, once the header is complete, whether this channel can play
  // the stream's rate, and prepares the resampler; false when it cannot.
  bool Accept();
  // Takes `count` little-endian samples at `bytes`.
  bool Take(const std::uint8_t* bytes, std::size_t count, const Sink& sink);
  // Resamples `count` samples of the input block and hands on the result,
  // the resampler's held surplus included.
  bool Convert(std::size_t count, const Sink& sink);
  // Hands on `count` samples of the output block, never more than the
  // input so far allows.
  void Deliver(int count, const Sink& sink);

  WaveReader reader_;
  unsigned target_rate_ = kSourceRate;
  bool accepted_ = false;
  bool resample_ = false;  // accepted at the source rate for a channel at another
  bool intact_ = true;
  bool odd_byte_pending_ = false;
  std::uint8_t odd_byte_ = 0;
  std::unique_ptr<Resampler> resampler_;  // kept for the next stream at the same rates
  unsigned resampler_rate_ = 0;           // the target rate resampler_ was made for
  std::vector<std::int16_t> input_block_;
  std::vector<std::int16_t> output_block_;
  std::uint64_t input_samples_ = 0;
  std::uint64_t output_samples_ = 0;
  ReadNext whole_read_;
  std::uint64_t whole_left_ = 0;  // audio bytes of a whole WAVE still to convert
};

}  // namespace TARNWICKSS

#endif  // QEL_CLOUD_AUDIO_CONVERTER_H
