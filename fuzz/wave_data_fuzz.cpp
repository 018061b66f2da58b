// libFuzzer target for WAVE data, read the ways the plugin reads it, all
// through the one WAVE reader: a fetched body in pieces of several sizes, a
// WAVE held whole in memory, the same image as base64 text (inline cloud
// audio) and as a file (cached waveforms and local files). Besides the
// sanitizers it checks that every way gives the same verdict and the same
// samples, and that a refused WAVE hands on nothing from a whole image.
#include <apr_base64.h>
#include <apr_general.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "QelCloudAudioConverter.h"
#include "QelInlineAudio.h"
#include "QelWaveformManager.h"

using TARNWICKSS::CloudAudioConverter;
using TARNWICKSS::InlineAudio;
using TARNWICKSS::WaveformManager;
using Bytes = std::vector<std::uint8_t>;

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

struct Outcome {
  bool ok;
  TARNWICKSS::WaveReader::Problem problem;
  Bytes out;
};

Outcome Stream(unsigned rate, const Bytes& wave, std::size_t piece) {
  CloudAudioConverter converter;
  Outcome o{true, {}, {}};
  const CloudAudioConverter::Sink sink = [&o](const std::uint8_t* b, std::size_t n) {
    o.out.insert(o.out.end(), b, b + n);
  };
  converter.Start(rate);
  for (std::size_t at = 0; at < wave.size(); at += piece) {
    if (!converter.Write(wave.data() + at, std::min(piece, wave.size() - at), sink) && converter.refused()) break;
  }
  o.ok = converter.Finish(sink);
  o.problem = converter.reader().problem();
  return o;
}

Outcome Whole(unsigned rate, std::uint64_t size, const CloudAudioConverter::ReadNext& read) {
  CloudAudioConverter converter;
  Outcome o{false, {}, {}};
  if (converter.StartWhole(rate, size, read)) {
    o.ok = converter.ConvertWhole([&o](const std::uint8_t* b, std::size_t n) { o.out.insert(o.out.end(), b, b + n); });
  }
  o.problem = converter.reader().problem();
  return o;
}

void Same(const Outcome& a, const Outcome& b) {
  if (a.ok != b.ok || a.problem != b.problem || (a.ok && a.out != b.out)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  // A copy of exactly `size` bytes, so reading one byte too far is caught.
  const Bytes wave(data, data + size);
  const Outcome whole = Stream(16000, wave, wave.size() + 1);
  for (std::size_t piece : {1, 7, 4096}) Same(Stream(16000, wave, piece), whole);
  // At 8000 Hz the resampler's output does not depend on the pieces either.
  if (size < 20000) Same(Stream(8000, wave, 45), Stream(8000, wave, wave.size() + 1));

  std::size_t at = 0;
  const Outcome memory = Whole(16000, size, [&](std::uint8_t* buffer, std::size_t count) {
    count = std::min(count, wave.size() - at);
    std::copy_n(wave.begin() + static_cast<std::ptrdiff_t>(at), count, buffer);
    at += count;
    return count;
  });
  Same(memory, whole);
  if (!memory.ok && !memory.out.empty()) abort();

  {
    std::string text(static_cast<std::size_t>(apr_base64_encode_len(static_cast<int>(size))), '\0');
    text.resize(static_cast<std::size_t>(apr_base64_encode_binary(&text[0], data, static_cast<int>(size)) - 1));
    InlineAudio audio(text);
    if (!audio.valid() || audio.size() != size) abort();
    Same(Whole(16000, audio.size(), [&audio](std::uint8_t* b, std::size_t n) { return audio.Read(b, n); }), whole);
  }

  {
    std::FILE* f = std::fopen(setup.path.c_str(), "wb");
    if (!f) abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
    std::fclose(f);
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, setup.pool);
  std::string path;
  std::uint64_t file_size = 0;
  apr_file_t* file = setup.manager->OpenWaveFileForReading(setup.name, path, file_size, pool);
  if (!file || file_size != size) abort();
  Same(Whole(16000, file_size,
             [file](std::uint8_t* b, std::size_t n) {
               apr_size_t got = 0;
               apr_file_read_full(file, b, n, &got);
               return static_cast<std::size_t>(got);
             }),
       whole);
  apr_file_close(file);
  apr_pool_destroy(pool);
  return 0;
}
