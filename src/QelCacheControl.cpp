#include "QelCacheControl.h"

#include <apr.h>

#include <cstring>
#include <limits>

#include "QelTarnwickssChannelLog.h"
#include "QelTimeSpan.h"

namespace TARNWICKSS {

namespace {

// White space as a stream in the "C" locale skips it.
bool IsStreamSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads [p, end) the way `std::istringstream(text) >> n` does for an int32
// n holding -1, without the stream and independent of the global locale.
std::int32_t ExtractInt32(const char* p, const char* end) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  while (p < end && IsStreamSpace(*p)) ++p;
  if (p == end) return -1;  // the stream's sentry fails and leaves n alone
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (p == end || !IsDigit(*p)) return 0;
  std::int64_t magnitude = 0;
  for (; p < end && IsDigit(*p); ++p) {
    // Saturates just past the range; further digits cannot bring it back.
    if (magnitude <= kMax) magnitude = magnitude * 10 + (*p - '0');
  }
  if (negative) return static_cast<std::int32_t>(-magnitude < kMin ? kMin : -magnitude);
  return static_cast<std::int32_t>(magnitude > kMax ? kMax : magnitude);
}

bool FieldIs(const apt_str_t& field, const char* name) {
  const std::size_t n = std::strlen(name);
  return field.length == n && std::memcmp(field.buf, name, n) == 0;
}

}  // namespace

CacheControl::CacheControl() : max_age(-1), max_stale(-1), min_fresh(-1) {}

void CacheControl::Reset() {
  max_age = -1;
  max_stale = -1;
  min_fresh = -1;
}

bool CacheControl::Parse(const apt_str_t* value, apr_pool_t* pool) {
  if (!value) return false;
  if (!value->buf || value->length == 0) return true;
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, value->buf, value->length);
  apt_str_t field;
  while (apt_text_field_read(&stream, ',', TRUE, &field) && field.length > 0) {
    ParseDirective(&field, pool);
  }
  return true;
}

bool CacheControl::ParseDirective(const apt_str_t* directive, apr_pool_t* pool) {
  if (!directive || !directive->buf || directive->length == 0) return false;
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, directive->buf, directive->length);
  apt_str_t name;
  apt_text_field_read(&stream, '=', TRUE, &name);
  if (name.length == 0) return false;

  apt_str_t value;
  apt_text_field_read(&stream, ',', TRUE, &value);
  if (value.length == 0) return true;

  const std::int32_t number = ExtractInt32(value.buf, value.buf + value.length);
  if (FieldIs(name, "max-age")) {
    max_age = number;
  } else if (FieldIs(name, "max-stale")) {
    max_stale = number;
  } else if (FieldIs(name, "min-fresh")) {
    min_fresh = number;
  }
  return true;
}

bool CacheControl::CheckRecord(const FileManager::FileEntry& record, const char* channel_id, apr_time_t now) const {
  constexpr std::int64_t kMicrosPerSecond = 1000000;
  const char* id = channel_id ? channel_id : "";
  if (max_age >= 0 && record.time + max_age * kMicrosPerSecond < now) {
    LogChannel(id, APT_LOG_MARK, APT_PRIO_DEBUG,
               "Cache Directive Mismatch: max-age [%d sec] < cur-age [%" APR_INT64_T_FMT " sec] for [%s]", max_age,
               TimeSpan(record.time, now) / kMicrosPerSecond, record.name.c_str());
    return false;
  }
  if (min_fresh >= 0 && record.timer && record.expiration < now + min_fresh * kMicrosPerSecond) {
    LogChannel(id, APT_LOG_MARK, APT_PRIO_DEBUG,
               "Cache Directive Mismatch: min-fresh [%d sec] > cur-fresh [%" APR_INT64_T_FMT " sec] for [%s]",
               min_fresh, TimeSpan(now, record.expiration) / kMicrosPerSecond, record.name.c_str());
    return false;
  }
  return true;
}

bool CacheControl::CheckRecord(const FileManager::FileEntry& record, const char* channel_id) const {
  return CheckRecord(record, channel_id, apr_time_now());
}

}  // namespace TARNWICKSS
