// The channel's log lines (QelTarnwickssChannelLog.h) and Channel::Log.
// Any thread; in practice the engine's event-processor thread.
#include "QelTarnwickssChannelLog.h"

#include <cstdio>
#include <memory>

#include "QelTarnwickssChannel.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

apt_log_source_t* PluginSource() { return TARNWICKSS_PLUGIN ? TARNWICKSS_PLUGIN : def_log_source; }

}  // namespace

bool PluginLogs(apt_log_priority_e priority) { return apt_log_priority_check(PluginSource(), priority); }

void LogChannelV(const char* channel_id, const char* file, int line, apt_log_priority_e priority, const char* format,
                 va_list args) {
  if (!PluginLogs(priority)) return;
  // The server has only apt_log, which takes no va_list: the line is
  // formatted here and handed over whole. Most lines fit on the stack.
  char text[512];
  std::unique_ptr<char[]> long_text;
  const char* message = text;
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof(text), format, args);
  if (length < 0) {
    message = format;
  } else if (static_cast<std::size_t>(length) >= sizeof(text)) {
    long_text.reset(new char[static_cast<std::size_t>(length) + 1]);
    std::vsnprintf(long_text.get(), static_cast<std::size_t>(length) + 1, format, again);
    message = long_text.get();
  }
  va_end(again);
  apt_log(PluginSource(), file, line, priority, "%s <%s@%s>", message, channel_id ? channel_id : "", kChannelLogTag);
}

void LogChannel(const char* channel_id, const char* file, int line, apt_log_priority_e priority, const char* format,
                ...) {
  va_list args;
  va_start(args, format);
  LogChannelV(channel_id, file, line, priority, format, args);
  va_end(args);
}

void Channel::Log(const char* file, int line, apt_log_priority_e priority, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  LogChannelV(id(), file, line, priority, format, args);
  va_end(args);
}

}  // namespace TARNWICKSS
