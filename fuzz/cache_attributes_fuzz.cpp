// libFuzzer target for cache attribute files. The input is written to a file
// and read back through CacheEntry::LoadAttributes. Besides the sanitizers
// (a damaged length must not allocate beyond the reader's limit) it checks
// that a read that stopped early marks the entry damaged, and that whatever
// loads whole survives Save and Load unchanged: this system's own files must
// never read as damaged.
#include <apr_file_io.h>
#include <apr_general.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "QelCacheEntry.h"
#include "QelWaveformManager.h"

using CacheEntry = TARNWICKSS::WaveformManager::CacheEntry;

namespace {

struct Setup {
  Setup() {
    apr_initialize();
    apr_pool_create(&pool, nullptr);
    const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    prefix = base + "/cache-attributes-fuzz-" + std::to_string(getpid());
  }
  ~Setup() {
    for (const char* suffix : {".in", ".1", ".2"}) std::remove((prefix + suffix).c_str());
  }
  apr_pool_t* pool = nullptr;
  std::string prefix;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool SameAttributes(const CacheEntry& a, const CacheEntry& b) {
  return a.checksum == b.checksum && a.language == b.language && a.sampling_rate == b.sampling_rate &&
         a.voice_name == b.voice_name && a.voice_gender == b.voice_gender && a.usage == b.usage &&
         a.content == b.content && a.prosody.pitch == b.prosody.pitch && a.prosody.contour == b.prosody.contour &&
         a.prosody.range == b.prosody.range && a.prosody.duration == b.prosody.duration &&
         a.prosody.rate.type == b.prosody.rate.type && a.prosody.volume.type == b.prosody.volume.type;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  const std::string input = setup.prefix + ".in";
  const std::string first = setup.prefix + ".1";
  const std::string second = setup.prefix + ".2";
  {
    std::FILE* f = std::fopen(input.c_str(), "wb");
    if (!f) abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
    std::fclose(f);
  }
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, setup.pool);

  CacheEntry entry("f.wav", 0);
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, input.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY, APR_FPROT_OS_DEFAULT, pool) !=
      APR_SUCCESS) {
    abort();
  }
  const bool whole = entry.LoadAttributes(file);
  apr_file_close(file);
  if (!whole && !entry.damaged()) abort();

  if (!entry.damaged()) {
    if (!entry.Save(first, pool)) abort();
    CacheEntry reloaded("f.wav", 0);
    if (!reloaded.Load(first, pool) || reloaded.damaged()) abort();
    if (!reloaded.Save(second, pool)) abort();
    // The first save may normalise (numbers, 6-digit floats); after that the
    // attributes and the bytes stay as they are.
    if (Slurp(first) != Slurp(second)) abort();
    CacheEntry again("f.wav", 0);
    if (!again.Load(second, pool) || !SameAttributes(reloaded, again)) abort();
  }
  apr_pool_destroy(pool);
  return 0;
}
