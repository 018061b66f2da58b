// The one reader of WAVE audio in the plugin, whatever its source: cloud
// audio inline and fetched, cached waveforms and local files. It takes the
// bytes in order, in pieces of any size (a header may be split anywhere),
// and hands back the sample bytes each piece holds.
//
// Playable is "RIFF" <size> "WAVE", then chunks, each walked with its pad
// byte: a "fmt " chunk declaring linear PCM (format 1, or
// WAVE_FORMAT_EXTENSIBLE with the PCM sub-format), one channel, 16 bits;
// then a "data" chunk. A data size of 0 or 0xFFFFFFFF means "to the end of
// the stream" (streamed files are written before their length is known);
// any other size is exact, and what follows the data chunk is not audio.
// The sampling rate is read, not judged: which rates a channel can play is
// the converter's decision (QelCloudAudioConverter.h).
//
// Not thread-safe: one owner (a converter), on the engine thread.
#ifndef QEL_WAVE_READER_H
#define QEL_WAVE_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace TARNWICKSS {

class WaveReader {
 public:
  // Why a stream is not playable.
  enum class Problem {
    kNone,
    kNotWave,   // no "RIFF....WAVE" at the start
    kNoFormat,  // "data" before any "fmt "
    kFormat,    // an encoding, channel count, sample size (or, for the converter, rate) it cannot play
    kNoData,    // the stream ended before its "data" chunk
    kCutShort,  // the data ended before the size its header declares
    kNoAudio,   // not one whole sample
  };
  // What the last "fmt " chunk declares.
  struct Format {
    unsigned tag = 0;
    unsigned sub_format = 0;  // WAVE_FORMAT_EXTENSIBLE only
    unsigned channels = 0;
    std::uint32_t rate = 0;
    unsigned bits = 0;
  };

  // Begins a new stream (a new reader is at its start).
  void Start() { *this = WaveReader(); }
  // Takes the next piece. Header bytes are taken in; `audio` and
  // `audio_size` are set to the run of sample bytes inside the piece (empty
  // when it holds none); bytes after the data chunk are dropped. False once
  // the stream is refused (problem() says why): it then takes nothing more.
  bool Read(const std::uint8_t* data, std::size_t size, const std::uint8_t*& audio, std::size_t& audio_size);
  // The stream has ended. False when it held no playable audio: refused,
  // ended inside its header, data shorter than declared, or not one sample.
  bool End();
  // Refuses the stream from outside (the converter, for a rate it cannot
  // play; a reader of a whole file, for data it knows to be cut short, with
  // the bytes that are there).
  void Refuse(Problem problem, std::uint64_t available = 0);

  // Header bytes the reader takes before the audio could begin (0 once in
  // the audio, or refused). A reader of a whole file feeds exactly these,
  // so that the file is checked before a sample is handed back.
  std::uint64_t header_wanted() const;
  // The header is complete and declared playable audio.
  bool in_audio() const { return part_ == Part::kAudio || part_ == Part::kAfterAudio; }
  Problem problem() const { return problem_; }
  const Format& format() const { return format_; }
  // The size the "data" chunk declares; false for "to the end".
  bool declared(std::uint64_t& size) const;
  // Sample bytes handed back since Start.
  std::uint64_t audio_bytes() const { return audio_bytes_; }
  // problem() for a log line: "not RIFF/WAVE", "format 1, 2 channels,
  // 16000 Hz, 16 bits", "data cut short at 3200 of 4000 bytes", ...
  std::string Describe() const;

 private:
  enum class Part { kRiff, kChunk, kFormat, kAudio, kAfterAudio, kRefused };
  // Acts on a completed header part in part_bytes_; false when refused.
  bool OnPart();

  Part part_ = Part::kRiff;
  std::size_t part_size_ = 12;  // bytes the current part needs: first "RIFF" <size> "WAVE"
  std::size_t part_fill_ = 0;
  std::uint8_t part_bytes_[40] = {};
  std::uint64_t skip_ = 0;  // bytes still to skip before the next part
  std::uint32_t format_chunk_size_ = 0;
  bool have_format_ = false;
  Format format_;
  bool to_end_ = false;
  std::uint32_t declared_ = 0;
  std::uint64_t remaining_ = 0;  // declared data bytes not yet handed back
  std::uint64_t audio_bytes_ = 0;
  std::uint64_t available_ = 0;  // data bytes there were, for kCutShort
  Problem problem_ = Problem::kNone;
};

}  // namespace TARNWICKSS

#endif  // QEL_WAVE_READER_H
