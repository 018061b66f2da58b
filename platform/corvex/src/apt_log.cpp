// The process logger and the registry of named log sources.
//
// Invariants:
//  - g_instance, and the handler fields of the logger it points to, are only
//    touched under LogMutex(); g_threshold mirrors g_instance's threshold
//    (-1 without an instance) so records that would be dropped are dropped
//    before formatting and locking.
//  - Sources are never freed: a plugin keeps its apt_log_source_t* for as long
//    as it likes, also across logger re-creation.
//  - The ext handler runs under LogMutex() so that a handler being removed is
//    never still running afterwards; a record logged from inside the handler
//    is written but not handed to the handler again.
#include "corvex/apt_log.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <string>

struct apt_logger_t {
  FILE* stream = nullptr;
  bool owns_stream = false;  // opened by apt_log_file_instance_create
  int threshold = APT_PRIO_DEBUG;
  apt_log_ext_handler_f handler = nullptr;
  void* handler_obj = nullptr;
};

namespace {

constexpr std::size_t kMaxMessage = 4096;  // 4095 bytes and the terminator

const char* const kPriorityNames[APT_PRIO_COUNT] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                                    "WARNING",   "NOTICE", "INFO",     "DEBUG"};

apt_log_source_t g_default_source = {"CORVEX", APT_PRIO_DEBUG};

std::recursive_mutex& LogMutex() {
  static auto* mutex = new std::recursive_mutex;  // never destroyed: logging may outlive statics
  return *mutex;
}

apt_logger_t* g_instance = nullptr;  // guarded by LogMutex()
std::atomic<int> g_threshold{-1};
thread_local bool t_in_handler = false;

// Marks this thread as running the ext handler, also if the handler throws.
struct HandlerScope {
  HandlerScope() { t_in_handler = true; }
  ~HandlerScope() { t_in_handler = false; }
};

struct SourceRegistry {
  struct Entry {
    std::string name;
    apt_log_source_t source;
  };
  std::mutex mutex;
  std::list<Entry> entries;  // guarded by mutex; list nodes keep source addresses stable
};

SourceRegistry& Registry() {
  static auto* registry = new SourceRegistry;  // never destroyed: see the invariants above
  return *registry;
}

int ClampPriority(int priority) { return (priority < 0 || priority >= APT_PRIO_COUNT) ? APT_PRIO_DEBUG : priority; }

void SetInstanceLocked(apt_logger_t* logger) {
  g_instance = logger;
  g_threshold.store(logger ? logger->threshold : -1);
}

// Writes "YYYY-MM-DD hh:mm:ss.mmm [PRIORITY] [SOURCE] message" as one line.
void WriteLine(FILE* stream, int priority, const char* source, const char* message) {
  using std::chrono::system_clock;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  int millis =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  // The record stays on one line whatever the message holds.
  char flat[kMaxMessage];
  std::size_t n = 0;
  for (; message[n] != '\0' && n + 1 < sizeof(flat); ++n) {
    flat[n] = (message[n] == '\n' || message[n] == '\r') ? ' ' : message[n];
  }
  flat[n] = '\0';
  std::fprintf(stream, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%s] [%s] %s\n", local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis, kPriorityNames[priority], source,
               flat);
  std::fflush(stream);
}

}  // namespace

apt_log_source_t* def_log_source = &g_default_source;

apt_logger_t* apt_log_instance_create(FILE* stream, apt_log_priority_e threshold) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  if (g_instance) return nullptr;
  auto* logger = new apt_logger_t;
  logger->stream = stream ? stream : stderr;
  logger->threshold = ClampPriority(threshold);
  SetInstanceLocked(logger);
  return logger;
}

apt_logger_t* apt_log_file_instance_create(const char* file_path, apt_log_priority_e threshold) {
  if (!file_path) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  if (g_instance) return nullptr;
  FILE* file = std::fopen(file_path, "a");
  if (!file) return nullptr;
  apt_logger_t* logger = apt_log_instance_create(file, threshold);
  logger->owns_stream = true;
  return logger;
}

apt_bool_t apt_log_instance_destroy(void) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  apt_logger_t* logger = g_instance;
  if (!logger) return FALSE;
  SetInstanceLocked(nullptr);
  if (logger->owns_stream) std::fclose(logger->stream);
  delete logger;
  return TRUE;
}

apt_bool_t apt_log_instance_set(apt_logger_t* logger) {
  if (!logger) return FALSE;  // nothing to log the refusal with, either
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  SetInstanceLocked(logger);
  return TRUE;
}

apt_logger_t* apt_log_instance_get(void) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  return g_instance;
}

apt_bool_t apt_log_threshold_set(apt_log_priority_e threshold) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  if (!g_instance) return FALSE;
  g_instance->threshold = ClampPriority(threshold);
  g_threshold.store(g_instance->threshold);
  return TRUE;
}

apt_bool_t apt_log_ext_handler_set(apt_log_ext_handler_f handler, void* obj) {
  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  if (!g_instance) return FALSE;
  g_instance->handler = handler;
  g_instance->handler_obj = obj;
  return TRUE;
}

void apt_def_log_source_set(apt_log_source_t* source) {
  if (!source) {
    apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "apt_def_log_source_set: null source");
    return;
  }
  // Plugins hand back the server's own default; skip the store so that a
  // plugin loading while others log does not race on the pointer.
  if (def_log_source != source) def_log_source = source;
}

apt_bool_t apt_log_source_assign(const char* name, apt_log_source_t** source) {
  if (!name || !source) {
    apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "apt_log_source_assign: null %s", name ? "source" : "name");
    return FALSE;
  }
  SourceRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (std::strcmp(name, g_default_source.name) == 0) {
    *source = &g_default_source;
    return TRUE;
  }
  for (auto& entry : registry.entries) {
    if (entry.name == name) {
      *source = &entry.source;
      return TRUE;
    }
  }
  registry.entries.push_back({name, {nullptr, APT_PRIO_DEBUG}});
  SourceRegistry::Entry& entry = registry.entries.back();
  entry.source.name = entry.name.c_str();
  *source = &entry.source;
  return TRUE;
}

apt_bool_t apt_log(apt_log_source_t* source, const char* file, int line, apt_log_priority_e priority,
                   const char* format, ...) {
  va_list args;
  va_start(args, format);
  apt_bool_t written = apt_va_log(source, file, line, priority, format, args);
  va_end(args);
  return written;
}

apt_bool_t apt_log_priority_check(const apt_log_source_t* source, apt_log_priority_e priority) {
  if (!source) source = def_log_source ? def_log_source : &g_default_source;
  const int prio = ClampPriority(priority);
  return prio <= g_threshold.load() && prio <= static_cast<int>(source->priority) ? TRUE : FALSE;
}

apt_bool_t apt_va_log(apt_log_source_t* source, const char* file, int line, apt_log_priority_e priority,
                      const char* format, va_list args) {
  if (!source) source = def_log_source ? def_log_source : &g_default_source;
  const int prio = ClampPriority(priority);
  if (!apt_log_priority_check(source, static_cast<apt_log_priority_e>(prio))) return FALSE;

  char message[kMaxMessage];
  if (!format) {
    message[0] = '\0';
  } else if (std::vsnprintf(message, sizeof(message), format, args) < 0) {
    std::snprintf(message, sizeof(message), "(unformattable record from %s:%d)", file ? file : "?", line);
  }
  const char* source_name = source->name ? source->name : "";

  std::lock_guard<std::recursive_mutex> lock(LogMutex());
  apt_logger_t* logger = g_instance;
  if (!logger || prio > logger->threshold) return FALSE;
  WriteLine(logger->stream, prio, source_name, message);
  if (logger->handler && !t_in_handler) {
    HandlerScope scope;
    logger->handler(logger->handler_obj, source_name, static_cast<apt_log_priority_e>(prio), message);
  }
  return TRUE;
}

apt_log_priority_e apt_log_priority_translate(const char* str) {
  if (!str) return APT_PRIO_DEBUG;
  if (str[0] >= '0' && str[0] <= '7' && str[1] == '\0') {
    return static_cast<apt_log_priority_e>(str[0] - '0');
  }
  for (int i = 0; i < APT_PRIO_COUNT; ++i) {
    if (strcasecmp(str, kPriorityNames[i]) == 0) return static_cast<apt_log_priority_e>(i);
  }
  return APT_PRIO_DEBUG;
}

const char* apt_log_priority_name(apt_log_priority_e priority) {
  int prio = static_cast<int>(priority);
  return (prio >= 0 && prio < APT_PRIO_COUNT) ? kPriorityNames[prio] : "UNKNOWN";
}
