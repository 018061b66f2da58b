// libFuzzer target for the waveform cache's index file, read through
// CacheIndex::Parse. Besides the sanitizers (a count or name length the bytes
// cannot hold must not allocate or read beyond them) it checks that whatever
// parses is written back by Compose to bytes that parse to the same records.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "QelCacheIndex.h"

using TARNWICKSS::CacheIndex;

namespace {

bool Same(const CacheIndex::Record& a, const CacheIndex::Record& b) {
  return a.name == b.name && a.inode == b.inode && a.change_time == b.change_time && a.checksum == b.checksum &&
         a.match_key == b.match_key && a.usage == b.usage && a.sampling_rate == b.sampling_rate &&
         a.voice_gender == b.voice_gender;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CacheIndex::Records records;
  const bool parsed = CacheIndex::Parse(std::string(reinterpret_cast<const char*>(data), size), records);
  if (!parsed) {
    if (!records.empty()) abort();
    return 0;
  }
  std::vector<CacheIndex::Record> list;
  for (const auto& item : records) list.push_back(item.second);
  CacheIndex::Records again;
  if (!CacheIndex::Parse(CacheIndex::Compose(list), again) || again.size() != records.size()) abort();
  for (const auto& item : records) {
    const auto found = again.find(item.first);
    if (found == again.end() || !Same(found->second, item.second)) abort();
  }
  return 0;
}
