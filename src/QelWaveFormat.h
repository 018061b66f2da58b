// The WAVE format as the plugin writes it: the canonical 44-byte header of a
// mono waveform and its little-endian fields. Reading is the WAVE reader's
// (QelWaveReader.h), for every source.
//
// Plain functions without state; any thread may call them. The waveform
// manager's file operations build on them.
#ifndef QEL_WAVE_FORMAT_H
#define QEL_WAVE_FORMAT_H

#include <apr_file_io.h>

#include <cstddef>
#include <cstdint>

namespace TARNWICKSS {

// Format tags of the header.
constexpr std::uint16_t kWaveFormatPcm = 1;
constexpr std::uint16_t kWaveFormatAlaw = 6;
constexpr std::uint16_t kWaveFormatMulaw = 7;
constexpr std::size_t kWaveHeaderSize = 44;

void PutLe32(std::uint8_t* p, std::uint32_t value);
void PutLe16(std::uint8_t* p, std::uint16_t value);

// Writes the 44-byte header with both sizes 0: 8-bit layout for A-law and
// mu-law, 16-bit for every other tag. Write errors are not detected.
void WriteWaveHeader(apr_file_t* file, std::uint32_t sampling_rate, std::uint16_t format_tag);
// Writes the sizes at bytes 40 and 4 (length modulo 2^32). False when a
// seek fails.
bool WriteWaveSizes(apr_file_t* file, std::uint32_t content_length);

}  // namespace TARNWICKSS

#endif  // QEL_WAVE_FORMAT_H
