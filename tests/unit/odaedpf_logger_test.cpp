// The framework logger with its real thread, and the device that forwards
// its records to the server log. No test waits for time to pass: every wait
// is for a condition, with a generous limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

#include "OdaEdpfGlobal.h"
#include "OdaEdpfLogger.h"
#include "QelLogRedirectDevice.h"
#include "QelTarnwickssPlugin.h"
#include "journal.h"
#include "log_capture.h"

using namespace OdaEdpf;

namespace {

using corvex_test::Journal;

Journal* g_journal;

// Notes "<name> open", "<name>: <message>", "<name> close" and "~<name>";
// answers every record with `result`.
class NoteDevice : public LogDevice {
 public:
  explicit NoteDevice(const std::string& name, bool result = true) : LogDevice(name), result_(result) {}
  ~NoteDevice() override { g_journal->Add("~" + GetName()); }
  bool Open() override {
    g_journal->Add(GetName() + " open");
    return true;
  }
  bool Close() override {
    g_journal->Add(GetName() + " close");
    return true;
  }
  bool ProcessLogRecord(const LogRecord& record) override {
    g_journal->Add(GetName() + ": " + record.message);
    return result_;
  }

 private:
  const bool result_;
};

// Fills a record as FacilityLog would, for checking its fields.
LogRecord Populate(const LogFacility& facility, LogLevel level, const char* format, ...) {
  LogRecord record;
  va_list args;
  va_start(args, format);
  PopulateLogRecord(record, facility, 17, level, 99, "here.cpp", 42, format, args);
  va_end(args);
  return record;
}

class LoggerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(GlobalInit()); }
  static void TearDownTestSuite() { GlobalDeinit(); }
  LoggerTest() { g_journal = &journal_; }
  // A failed test must not leave its logger to the next one.
  ~LoggerTest() override {
    while (Logger::GetInstance() != nullptr) Logger::DestroyInstance();
  }

  // The entries matching `prefix`, in order.
  std::vector<std::string> EntriesStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& e : journal_.Entries()) {
      if (e.compare(0, prefix.size(), prefix) == 0) found.push_back(e);
    }
    return found;
  }

  Journal journal_;
};

// --- facility configuration -------------------------------------------------

TEST_F(LoggerTest, NamesTakeTheLevelOfTheirLongestConfiguredPrefix) {
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddFacilityConfig("FM", "DEBUG"));
  ASSERT_TRUE(logger->AddFacilityConfig("FMX", "ERROR"));
  auto level_of = [&](const std::string& name) { return logger->GetFacilityConfig(name)->GetLevel(); };
  EXPECT_EQ(level_of("FMY"), LogDebug);
  EXPECT_EQ(level_of("FMX1"), LogError);
  EXPECT_EQ(level_of("F"), LogInfo);  // made on the way to FM

  // Configuring an existing node again changes it in place; a facility
  // constructed by name takes the configured level once.
  ASSERT_TRUE(logger->AddFacilityConfig("FM", "NOTICE"));
  EXPECT_EQ(level_of("FMX1"), LogError);
  LogFacility fmy("FMY");
  EXPECT_EQ(fmy.GetLevel(), LogNotice);
  ASSERT_TRUE(logger->AddFacilityConfig("FMY", "EMERGENCY"));
  EXPECT_EQ(fmy.GetLevel(), LogNotice);
  EXPECT_EQ(LogFacility("FMY").GetLevel(), LogEmergency);

  // "GLOBAL" sets the default; bad level names change nothing.
  ASSERT_TRUE(logger->AddFacilityConfig("GLOBAL", "WARNING"));
  EXPECT_EQ(level_of("Q"), LogWarning);
  EXPECT_FALSE(logger->AddFacilityConfig("GLOBAL", "debug"));
  EXPECT_FALSE(logger->AddFacilityConfig("NEW", "WARN"));
  EXPECT_EQ(logger->GetGlobalFacility().GetLevel(), LogWarning);
  EXPECT_EQ(logger->GetFacilityConfig("NEW"), logger->GetFacilityConfig(""));
  Logger::DestroyInstance();
  // Without a logger a named facility starts at INFO.
  EXPECT_EQ(LogFacility("FMY").GetLevel(), LogInfo);
}

TEST_F(LoggerTest, RecordCutsLongMessagesAfterFormatting) {
  LogFacility facility("WVFM", LogDebug);
  EXPECT_EQ(Populate(facility, LogNotice, "%s has %d files", "cache", 12).message, "cache has 12 files");
  const std::string exact(1023, 'x');
  EXPECT_EQ(Populate(facility, LogInfo, "%s", exact.c_str()).message, exact);
  EXPECT_EQ(Populate(facility, LogInfo, "%s%s", exact.c_str(), "z").message, exact);
}

// --- logger thread, devices ---------------------------------------------------

TEST_F(LoggerTest, DevicesSeeEveryRecordInNameOrder) {
  Logger* logger = Logger::CreateInstance();
  for (const char* name : {"C", "A", "B"}) ASSERT_TRUE(logger->AddLogDevice(new NoteDevice(name, name[0] != 'B')));
  // A second device under a taken name is refused and stays the caller's.
  NoteDevice duplicate("A");
  EXPECT_FALSE(logger->AddLogDevice(&duplicate));
  EXPECT_FALSE(logger->RemoveLogDevice(&duplicate));
  EXPECT_FALSE(logger->AddLogDevice(nullptr));

  // Removing hands a device back without deleting it.
  NoteDevice* removed = new NoteDevice("D");
  ASSERT_TRUE(logger->AddLogDevice(removed));
  EXPECT_TRUE(logger->RemoveLogDevice(removed));
  EXPECT_FALSE(logger->RemoveLogDevice(removed));
  delete removed;

  // A failing device does not keep the record from the others.
  LogRecord record;
  record.message = "direct";
  EXPECT_FALSE(logger->ProcessLogRecord(record));

  ASSERT_TRUE(logger->Start());
  EXPECT_FALSE(logger->Start());
  LogFacility facility("T", LogDebug);
  FacilityLog(facility, 0, LogInfo, 0, ODAEDPF_LOG_MARK, "one");
  FacilityLog(facility, 0, LogInfo, 0, ODAEDPF_LOG_MARK, "two");
  journal_.WaitFor("C: two");
  Logger::DestroyInstance();
  EXPECT_EQ(Logger::GetInstance(), nullptr);

  EXPECT_EQ(journal_.Entries(),
            (std::vector<std::string>{"~D", "A: direct", "B: direct", "C: direct", "A open", "B open", "C open",
                                      "A: one", "B: one", "C: one", "A: two", "B: two", "C: two", "A close", "~A",
                                      "B close", "~B", "C close", "~C"}));
}

TEST_F(LoggerTest, LastReferenceEndsTheThreadAfterQueuedRecords) {
  Logger* first = Logger::CreateInstance();
  ASSERT_TRUE(first->AddLogDevice(new NoteDevice("N")));
  ASSERT_TRUE(first->Start());
  EXPECT_EQ(Logger::CreateInstance(), first);

  Logger::DestroyInstance();
  ASSERT_EQ(Logger::GetInstance(), first);
  Log(LogInfo, ODAEDPF_LOG_MARK, "still running");
  journal_.WaitFor("N: still running");
  EXPECT_FALSE(journal_.Has("N close"));

  // Posted right before the last release: delivered before the device closes.
  for (int i = 0; i < 50; ++i) Log(LogInfo, ODAEDPF_LOG_MARK, "late %d", i);
  Logger::DestroyInstance();
  EXPECT_EQ(Logger::GetInstance(), nullptr);
  // Shutdown has joined the thread: the device is gone by now.
  EXPECT_EQ(EntriesStartingWith("N: late").size(), 50u);
  const std::vector<std::string> entries = journal_.Entries();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(entries.end() - 3, entries.end()),
            (std::vector<std::string>{"N: late 49", "N close", "~N"}));
}

TEST_F(LoggerTest, UnstartedLoggerStillDeletesItsDevicesAndNoLoggerDropsRecords) {
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddLogDevice(new NoteDevice("U")));
  // Not started: the record is dropped, not queued for later.
  Log(LogError, ODAEDPF_LOG_MARK, "before start");
  EXPECT_FALSE(logger->PostLogRecord(LogRecord()));
  EXPECT_FALSE(logger->Shutdown());
  Logger::DestroyInstance();
  EXPECT_EQ(journal_.Entries(), std::vector<std::string>{"~U"});

  // No logger at all: logging and a further release are harmless.
  Log(LogEmergency, ODAEDPF_LOG_MARK, "no logger %s", "at all");
  Logger::DestroyInstance();
  EXPECT_EQ(Logger::GetInstance(), nullptr);
}

TEST_F(LoggerTest, RecordsAboveTheFacilityLevelAreDropped) {
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddLogDevice(new NoteDevice("N")));
  logger->SetLogLevel(LogWarning);
  ASSERT_TRUE(logger->Start());
  // The last level through and the first one dropped, of a facility's own and of the global level.
  LogFacility notice("FN", LogNotice);
  FacilityLog(notice, 0, LogNotice, 0, ODAEDPF_LOG_MARK, "facility notice");
  FacilityLog(notice, 0, LogInfo, 0, ODAEDPF_LOG_MARK, "facility info");
  Log(LogWarning, ODAEDPF_LOG_MARK, "global warning");
  Log(LogNotice, ODAEDPF_LOG_MARK, "global notice");
  Log(LogEmergency, ODAEDPF_LOG_MARK, "end");
  journal_.WaitFor("N: end");
  Logger::DestroyInstance();
  EXPECT_EQ(EntriesStartingWith("N: "),
            (std::vector<std::string>{"N: facility notice", "N: global warning", "N: end"}));
}

// --- the forwarding device ----------------------------------------------------

TEST_F(LoggerTest, RedirectDeviceForwardsOnlyTheMessageAtTheRecordsLevel) {
  corvex_test::LogCapture capture;
  ASSERT_TRUE(mrcp_plugin_log_source_set(def_log_source));
  Logger* logger = Logger::CreateInstance();
  ASSERT_TRUE(logger->AddLogDevice(new TARNWICKSS::LogRedirectDevice()));
  ASSERT_TRUE(logger->AddLogDevice(new NoteDevice("ZZ")));
  ASSERT_TRUE(logger->Start());
  logger->SetLogLevel(LogDebug);

  LogFacility facility("WVFM", LogDebug);
  FacilityLog(facility, 0, LogWarning, 0, ODAEDPF_LOG_MARK, "Disk %s at %d%%", "full", 97);
  // A '%' in the text is not read as a conversion by the server.
  FacilityLog(facility, 0, LogError, 0, ODAEDPF_LOG_MARK, "%s", "100%s done");
  // A level outside the server's numbering must not reach it as such.
  FacilityLog(facility, 0, static_cast<LogLevel>(-1), 0, ODAEDPF_LOG_MARK, "odd level");
  FacilityLog(facility, 0, LogEmergency, 0, ODAEDPF_LOG_MARK, "last");
  // The device after LRD sees it last, so LRD has written everything.
  journal_.WaitFor("ZZ: last");
  Logger::DestroyInstance();

  std::vector<std::pair<std::string, apt_log_priority_e>> forwarded;
  for (const corvex_test::LogRecord& r : capture.Records()) {
    if (r.source == "TARNWICKSS-PLUGIN") forwarded.emplace_back(r.message, r.priority);
  }
  EXPECT_EQ(forwarded, (std::vector<std::pair<std::string, apt_log_priority_e>>{{"Disk full at 97%", APT_PRIO_WARNING},
                                                                                {"100%s done", APT_PRIO_ERROR},
                                                                                {"odd level", APT_PRIO_DEBUG},
                                                                                {"last", APT_PRIO_EMERGENCY}}));
}

}  // namespace
