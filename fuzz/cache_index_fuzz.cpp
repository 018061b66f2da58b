// libFuzzer target for the waveform cache's index file, read through
// CacheIndex::Parse: the input as it is, and the input with its right hash
// appended, so that mutations reach the records behind the hash check.
// Besides the sanitizers (a count or name length the bytes cannot hold must
// not allocate or read beyond them) it checks that whatever parses is written
// back by Compose to bytes that parse to the same records.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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
  std::vector<CacheIndex::Record> list;
  for (const auto& item : records) list.push_back(item.second);
  CacheIndex::Records again;
  if (!CacheIndex::Parse(CacheIndex::Compose(list), again) || again.size() != records.size()) abort();
  for (const auto& item : records) {
    const auto found = again.find(item.first);
    if (found == again.end() || !Same(found->second, item.second)) abort();
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
