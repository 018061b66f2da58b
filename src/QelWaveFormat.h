// The WAVE format as the plugin writes and reads it: the canonical 44-byte
// header of a mono waveform, the walk of a RIFF image to its "data" chunk,
// and the little-endian fields both use.
//
// Plain functions without state; any thread may call them. The waveform
// manager's file operations and the channel's inline audio build on them.
#ifndef QEL_WAVE_FORMAT_H
#define QEL_WAVE_FORMAT_H

#include <apr_file_io.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace TARNWICKSS {

// Format tags of the header.
constexpr std::uint16_t kWaveFormatPcm = 1;
constexpr std::uint16_t kWaveFormatAlaw = 6;
constexpr std::uint16_t kWaveFormatMulaw = 7;
constexpr std::size_t kWaveHeaderSize = 44;

std::uint32_t ReadLe32(const std::uint8_t* p);
void PutLe32(std::uint8_t* p, std::uint32_t value);
void PutLe16(std::uint8_t* p, std::uint16_t value);

// Writes the 44-byte header with both sizes 0: 8-bit layout for A-law and
// mu-law, 16-bit for every other tag. Write errors are not detected.
void WriteWaveHeader(apr_file_t* file, std::uint32_t sampling_rate, std::uint16_t format_tag);
// Writes the sizes at bytes 40 and 4 (length modulo 2^32). False when a
// seek fails.
bool WriteWaveSizes(apr_file_t* file, std::uint32_t content_length);

// Where the audio of a WAVE image starts and the size its header declares.
struct WaveLayout {
  std::uint64_t offset;
  std::uint32_t declared;
};

// Reads `count` bytes at `offset` of a WAVE image into `buffer`; answers
// whether it could read them all.
using WaveReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* buffer, std::size_t count)>;

// Finds the audio of a WAVE image of `size` bytes, read through `read_at`.
// The canonical 44-byte header (the one the plugin writes) is taken as it
// is. Other RIFF/WAVE images are walked chunk by chunk to their "data"
// chunk, because common audio tools put "LIST" or "fact" chunks, or a
// longer "fmt ", in front of it. Whatever is neither is read as if it had
// the canonical header, as before. False when not even that header is
// there.
bool LocateWaveData(const WaveReadAt& read_at, std::uint64_t size, WaveLayout& layout);

}  // namespace TARNWICKSS

#endif  // QEL_WAVE_FORMAT_H
