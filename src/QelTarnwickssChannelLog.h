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

// Whether a line of `priority` from the plugin's log source would be
// written: the server has a logger, and neither its threshold nor the
// source's holds the line back. Text rendered only for a line that would be
// dropped need not be rendered.
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
