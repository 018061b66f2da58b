// libFuzzer target for Cache-Control header values. Besides the sanitizers
// it compares CacheControl::Parse with a plain model of the header walk that
// converts values with a real std::istringstream extraction.
#include <stdlib.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "QelCacheControl.h"

using TARNWICKSS::CacheControl;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::size_t SkipBlanks(const std::string& s, std::size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  return pos;
}

CacheControl Model(const std::string& header) {
  CacheControl cc;
  std::size_t pos = 0;
  while (pos < header.size()) {
    pos = SkipBlanks(header, pos);
    const std::size_t comma = header.find(',', pos);
    const std::string field = header.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    pos = comma == std::string::npos ? header.size() : comma + 1;
    if (field.empty()) break;

    const std::size_t start = SkipBlanks(field, 0);
    const std::size_t eq = field.find('=', start);
    const std::string name = field.substr(start, eq == std::string::npos ? std::string::npos : eq - start);
    if (name.empty() || eq == std::string::npos) continue;
    const std::string value = field.substr(SkipBlanks(field, eq + 1));
    if (value.empty()) continue;

    std::int32_t number = -1;
    std::istringstream(value) >> number;
    if (name == "max-age") {
      cc.max_age = number;
    } else if (name == "max-stale") {
      cc.max_stale = number;
    } else if (name == "min-fresh") {
      cc.min_fresh = number;
    }
  }
  return cc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string header(reinterpret_cast<const char*>(data), size);
  apt_str_t value{&header[0], header.size()};
  CacheControl cc;
  if (!cc.Parse(&value, nullptr)) abort();
  const CacheControl expected = Model(header);
  if (cc.max_age != expected.max_age || cc.max_stale != expected.max_stale || cc.min_fresh != expected.min_fresh) {
    abort();
  }
  return 0;
}
