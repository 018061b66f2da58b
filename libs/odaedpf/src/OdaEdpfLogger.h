// Logger: the framework's process-wide log. A log call filters by level and
// formats a LogRecord on the caller's thread, then posts it to the logger's
// own event processor; that processor's thread hands each record to every
// registered LogDevice, so no caller ever waits for output.
// LogRecordEvent: carries one record to the logger's thread.
// Log, FacilityLog: the log calls.
//
// Lifetime: one reference-counted instance. CreateInstance() takes a
// reference (building the logger for the first one), DestroyInstance()
// drops one; the last shuts the thread down (after the records already
// posted) and deletes the logger. Between them: add devices, Start(), log.
// Log calls made while there is no instance, or before Start(), are dropped.
//
// Threads: Log and FacilityLog from any thread, but only while an instance
// exists; the instance is not protected against being deleted under a
// concurrent log call, so its holder keeps it until every thread that logs
// has stopped (the engine: until its own event processor has ended).
// CreateInstance, DestroyInstance, Start, Shutdown, AddLogDevice,
// AddFacilityConfig and SetLogLevel belong to the owner's thread, and devices
// and configuration are changed only before Start(). Devices run on the
// logger thread only.
#ifndef ODAEDPF_LOGGER_H
#define ODAEDPF_LOGGER_H

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "OdaEdpfAsyncEvent.h"
#include "OdaEdpfLogDevice.h"
#include "OdaEdpfLogFacility.h"
#include "OdaEdpfLogFacilityConfig.h"
#include "OdaEdpfLogLevel.h"
#include "OdaEdpfLogRecord.h"
#include "OdaEdpfSoftEventProcessor.h"

// The source position arguments of Log and FacilityLog.
#define ODAEDPF_LOG_MARK __FILE__, __LINE__

namespace OdaEdpf {

class Logger : public SoftEventProcessor::Observer {
 public:
  // Name of the facility that Log() uses; configuring it sets the default
  // level for every name as well.
  static constexpr const char* kGlobalFacilityName = "GLOBAL";

  // Takes a reference; the first one builds the instance. Returns the
  // instance.
  static Logger* CreateInstance();
  // The instance, or null.
  static Logger* GetInstance();
  // Drops a reference; does nothing when none is held. The last one shuts
  // the logger down and deletes it; never call it from a device.
  static void DestroyInstance();

  // Creates and starts the event processor; the devices are opened on its
  // thread. False when one exists already or it cannot start.
  bool Start();
  // Processes the records already posted, closes and deletes the devices,
  // ends the thread and deletes the processor. False when there is none.
  bool Shutdown();

  // Registers `device` under its name and takes ownership of it. False, with
  // the caller keeping it, for null or when the name is taken.
  bool AddLogDevice(LogDevice* device);
  // Unregisters `device` without deleting it; ownership goes back to the
  // caller. False when it is not the device registered under its name.
  bool RemoveLogDevice(LogDevice* device);

  // Gives facilities named `name`, or starting with it, the level called
  // `level_name` ("EMERGENCY" ... "DEBUG", exact case). "GLOBAL" sets the
  // global facility and the default for all names. False, with nothing
  // changed, for an unknown level name. Only facilities constructed later
  // see the change.
  bool AddFacilityConfig(const std::string& name, const std::string& level_name);
  // The configuration of the longest configured prefix of `name`; the root
  // (the default level) when none matches. Never null.
  const LogFacilityConfig* GetFacilityConfig(const std::string& name) const;
  // Sets the global facility and the default level. Tree nodes made earlier
  // keep theirs.
  void SetLogLevel(LogLevel level);
  const LogFacility& GetGlobalFacility() const { return global_facility_; }

  // Any thread: queues a copy of `record` for the devices. False when the
  // logger is not running.
  bool PostLogRecord(const LogRecord& record);
  // Logger thread: hands `record` to every device in name order. True when
  // every device returned true; a failing device does not stop the others.
  bool ProcessLogRecord(const LogRecord& record);

  // Observer of the logger's own processor.
  bool OnStart(SoftEventProcessor* processor) override;
  void OnShutdown(SoftEventProcessor* processor) override;

 private:
  Logger();
  ~Logger() override;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Default level at the root; configured names below it.
  LogFacilityConfig facility_config_;
  LogFacility global_facility_;
  // Written by Start() and Shutdown() only, both on the owner's thread while
  // nobody else logs; read by every log call.
  std::unique_ptr<SoftEventProcessor> event_processor_;
  // Owned, keyed and ordered by device name. Changed before Start() by the
  // owner; afterwards touched only by the logger thread.
  std::map<std::string, LogDevice*> devices_;

  static std::atomic<Logger*> sm_pLogger;
  static std::atomic<std::uint32_t> sm_RefCount;
};

// Carries one record to the logger's thread.
class LogRecordEvent : public AsyncEvent {
 public:
  // `logger` must outlive the event; the logger's processor guarantees that
  // by processing or releasing every queued event before it is deleted.
  LogRecordEvent(Logger* logger, const LogRecord& record) : logger_(logger), record_(record) {}
  void Process() override;

 private:
  ~LogRecordEvent() override = default;

  Logger* const logger_;
  const LogRecord record_;
};

// Logs through the logger's global facility with tag 0. Dropped when no
// logger exists or the global facility's level is below `level`.
void Log(LogLevel level, const char* file, int line, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Logs through `facility`: a record above the facility's level costs one
// comparison; otherwise it is formatted here and posted to the logger. The
// unnamed integer is ignored. Dropped when no logger exists.
void FacilityLog(const LogFacility& facility, int tag, LogLevel level, int, const char* file, int line,
                 const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 7, 8)))
#endif
    ;

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOGGER_H
