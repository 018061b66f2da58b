// libFuzzer target for the waveform cache's index file, read through
// CacheIndex::Parse: the input as it is, and the input with its right hash
// appended, so that mutations reach the records behind the hash check.
// Besides the sanitizers (a count or name length the bytes cannot hold must
// not allocate or read beyond them) it checks that whatever parses is written
// back by Compose to bytes that parse to the same records.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "QelCacheIndex.h"
#include "QelHash.h"

using TARNWICKSS::CacheIndex;

namespace {

bool Same(const CacheIndex::Record& a, const CacheIndex::Record& b) {
  return a.name == b.name && a.inode == b.inode && a.change_time == b.change_time && a.checksum == b.checksum &&
         a.match_key == b.match_key && a.usage == b.usage && a.sampling_rate == b.sampling_rate &&
         a.voice_gender == b.voice_gender;
}

void Check(const std::string& bytes) {
  CacheIndex::Records records;
  if (!CacheIndex::Parse(bytes, records)) {
    if (!records.empty()) abort();
    return;
  }
  CacheIndex::Records again;
  if (!CacheIndex::Parse(CacheIndex::Compose(records.list()), again) || again.size() != records.size()) abort();
  for (const CacheIndex::Record& record : records.list()) {
    const CacheIndex::Record* found = again.Find(record.name);
    if (!found || !Same(*found, record)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  Check(bytes);
  const std::uint64_t hash = TARNWICKSS::Fnv1a64(bytes);
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((hash >> (8 * i)) & 0xFF));
  Check(bytes);
  return 0;
}
