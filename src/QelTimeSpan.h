// The span between two APR times (microseconds), as records and log lines
// report it. The wall clock can be stepped back between two readings, so a
// later reading may lie before an earlier one: such a span is 0, never a
// negative number or one that wraps when printed unsigned.
//
// Threads: a pure function; any thread.
#ifndef QEL_TIME_SPAN_H
#define QEL_TIME_SPAN_H

#include <cstdint>
#include <limits>

namespace TARNWICKSS {

// `to` - `from`, at least 0 and at most INT64_MAX, for any two values.
inline std::int64_t TimeSpan(std::int64_t from, std::int64_t to) {
  if (to <= from) return 0;
  // Unsigned arithmetic: the true difference of two int64 values fits 64 bits.
  const std::uint64_t span = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(span < kMax ? span : kMax);
}

}  // namespace TARNWICKSS

#endif  // QEL_TIME_SPAN_H
