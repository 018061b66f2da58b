// libFuzzer target for WAVE data, read the three ways the plugin reads it:
// an image held in memory (GetWaveData), the same image as base64 text read
// piece by piece as inline cloud audio is (InlineAudio with FindWaveData),
// and the same image as a file (LoadWaveFile, for cached waveforms and local
// prompts). Besides the sanitizers it checks that the audio lies inside the
// image, that the inline reading finds the very audio the memory reader
// finds, and that the file reader, where it accepts the file (it refuses one
// whose data is shorter than its header declares), returns a prefix of it.
#include <apr_base64.h>
#include <apr_general.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QelInlineAudio.h"
#include "QelWaveformManager.h"

using TARNWICKSS::InlineAudio;
using TARNWICKSS::WaveformManager;

namespace {

struct Setup {
  Setup() {
    apr_initialize();
    apr_pool_create(&pool, nullptr);
    WaveformManager::Settings settings;
    settings.waveform_folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    manager = new WaveformManager(settings, false);
    name = "wave-data-fuzz-" + std::to_string(getpid()) + ".wav";
    path = settings.waveform_folder + "/" + name;
  }
  ~Setup() { std::remove(path.c_str()); }
  apr_pool_t* pool = nullptr;
  WaveformManager* manager = nullptr;  // lives as long as the process
  std::string name;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  // A copy of exactly `size` bytes, so reading one byte too far is caught.
  std::vector<std::uint8_t> wave(data, data + size);
  std::size_t length = 0;
  const std::uint8_t* audio = WaveformManager::GetWaveData(wave.data(), wave.size(), length);
  if ((audio == nullptr) != (size <= TARNWICKSS::kWaveHeaderSize)) abort();
  std::uint64_t sum = 0;
  if (audio) {
    if (audio < wave.data() + 12 || audio > wave.data() + size) abort();
    if (length > static_cast<std::size_t>(wave.data() + size - audio)) abort();
    for (std::size_t i = 0; i < length; ++i) sum += audio[i];
  }

  {
    std::string text(static_cast<std::size_t>(apr_base64_encode_len(static_cast<int>(size))), '\0');
    text.resize(static_cast<std::size_t>(apr_base64_encode_binary(&text[0], data, static_cast<int>(size)) - 1));
    const InlineAudio inline_audio(text);
    if (inline_audio.size() != size) abort();
    const WaveformManager::ReadAt read_at = [&inline_audio](std::uint64_t offset, std::uint8_t* buffer,
                                                            std::size_t count) {
      return inline_audio.Read(offset, buffer, count) == count;
    };
    std::uint64_t offset = 0, found = 0;
    const bool located = WaveformManager::FindWaveData(read_at, inline_audio.size(), offset, found);
    if (located != (audio != nullptr)) abort();
    if (located) {
      if (offset != static_cast<std::uint64_t>(audio - wave.data()) || found != length) abort();
      std::uint8_t piece[3200];
      for (std::uint64_t done = 0; done < found;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(piece), found - done));
        if (inline_audio.Read(offset + done, piece, want) != want) abort();
        if (std::memcmp(piece, audio + done, want) != 0) abort();
        done += want;
      }
    }
  }

  {
    std::FILE* f = std::fopen(setup.path.c_str(), "wb");
    if (!f) abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
    std::fclose(f);
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, setup.pool);
  std::vector<std::uint8_t> loaded;
  const bool ok = setup.manager->LoadWaveFile(setup.name, loaded, pool);
  apr_pool_destroy(pool);
  // The file reader refuses a file whose data is shorter than its header
  // says, and reads no more than the header declares (the memory reader
  // takes a declared 0 as "the rest", as streamed audio carries it).
  if (ok && audio) {
    if (loaded.size() > length) abort();
    if (!loaded.empty() && std::memcmp(loaded.data(), audio, loaded.size()) != 0) abort();
  } else if (ok && loaded.size() > size) {
    abort();
  }
  return sum == 0xFFFFFFFFFFFFFFFFULL ? 1 : 0;
}
