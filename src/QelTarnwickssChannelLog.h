// The log lines of a channel. Each ends in "<channel-id@tarnwickss>", so one
// channel's story can be picked out of the server's log.
//
// Any thread may call these; they only read the plugin's log source.
#ifndef QEL_TARNWICKSS_CHANNEL_LOG_H
#define QEL_TARNWICKSS_CHANNEL_LOG_H

#include <cstdarg>

#include "corvex/apt_log.h"

namespace TARNWICKSS {

// The name after the "@" of every channel line.
constexpr const char* kChannelLogTag = "tarnwickss";

// Whether the plugin's log source lets a line of `priority` through. A line
// it holds back is dropped by the server, so text rendered only for that
// line need not be rendered.
bool PluginLogs(apt_log_priority_e priority);

// Writes `format` with its arguments, then " <channel_id@tarnwickss>", through
// apt_log with the plugin's log source and the caller's source position. A
// null id is written as "". Nothing is formatted for a line the source holds
// back.
void LogChannel(const char* channel_id, const char* file, int line, apt_log_priority_e priority, const char* format,
                ...) __attribute__((format(printf, 5, 6)));
void LogChannelV(const char* channel_id, const char* file, int line, apt_log_priority_e priority, const char* format,
                 va_list args);

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_CHANNEL_LOG_H
