// The Cache-Control directives of one request that limit which cached
// waveforms it may use: max-age, max-stale and min-fresh, in seconds.
//
// A plain value, one per request inside the channel's synthesis details,
// reset at the start of every request and filled from the Cache-Control
// header while the request's parameters are determined; then every cache
// record that otherwise matches the request is put through CheckRecord.
// Engine thread only.
#ifndef QEL_CACHE_CONTROL_H
#define QEL_CACHE_CONTROL_H

#include <apr_pools.h>
#include <apr_time.h>

#include <cstdint>

#include "QelFileManager.h"
#include "corvex/apt.h"

namespace TARNWICKSS {

struct CacheControl {
  // All three unset.
  CacheControl();

  // All three unset (-1); any negative value counts as unset.
  void Reset();

  // Applies each comma-separated directive of a header value through
  // ParseDirective. The walk ends at the first empty element, so directives
  // behind two commas in a row are not seen. Nothing is reported: unknown or
  // malformed directives are passed over. False only for a null value. The
  // pool is not used.
  bool Parse(const apt_str_t* value, apr_pool_t* pool);

  // Applies one "name=value" directive. The name must equal a directive's
  // name exactly (letter case and trailing blanks count); a missing or empty
  // value changes nothing. The value is read like a formatted stream
  // extraction of an int32 that starts out as -1: white space skipped, an
  // optional sign, then digits; no digits give 0, white space only keeps -1,
  // and a number out of range gives the nearest limit. False when the
  // directive has no name. The pool is not used.
  bool ParseDirective(const apt_str_t* directive, apr_pool_t* pool);

  // Whether any directive is set (max-stale included); only then does a
  // record need CheckRecord.
  bool HasDirectives() const { return max_age >= 0 || max_stale >= 0 || min_fresh >= 0; }

  // Whether the cache record `record` may serve this request at `now`
  // (microseconds): it was created no more than max-age seconds ago, and,
  // if it has an expiration timer, it stays fresh for at least min-fresh
  // more seconds. A record without a timer never expires. Max-stale takes
  // no part. A rejection is logged at debug priority with the record's name
  // and `channel_id`.
  bool CheckRecord(const FileManager::FileEntry& record, const char* channel_id, apr_time_t now) const;
  // The same, now.
  bool CheckRecord(const FileManager::FileEntry& record, const char* channel_id) const;

  std::int32_t max_age;    // seconds; -1 unset
  std::int32_t max_stale;  // seconds; -1 unset. Kept, but no cache check uses it.
  std::int32_t min_fresh;  // seconds; -1 unset
};

}  // namespace TARNWICKSS

#endif  // QEL_CACHE_CONTROL_H
