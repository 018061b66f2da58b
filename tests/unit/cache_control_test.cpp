// Cache-Control header parsing: directive names, values, separators, and the
// conversion of values, which must read numbers like a stream extraction;
// then the check of a cache record against the directives, at its boundaries.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "QelCacheControl.h"
#include "QelFileManager.h"
#include "log_capture.h"

using TARNWICKSS::CacheControl;

namespace {

class CacheControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }

  static CacheControl Parsed(std::string header) {
    CacheControl cc;
    apt_str_t value{&header[0], header.size()};
    EXPECT_TRUE(cc.Parse(&value, nullptr)) << header;
    return cc;
  }
};

TEST_F(CacheControlTest, HeaderDirectives) {
  const struct {
    const char* header;
    std::int32_t max_age, max_stale, min_fresh;
    bool has;  // HasDirectives(): any of the three is set
  } kCases[] = {
      {"max-age=30, min-fresh=10", 30, -1, 10, true},
      {"  max-stale=7 ,\tmin-fresh=+8 ", -1, 7, 8, true},
      {"max-stale=0", -1, 0, -1, true},
      {"max-age = 30", -1, -1, -1, false},  // the name keeps its trailing blank
      {"MAX-AGE=30", -1, -1, -1, false},
      {"no-cache, max-age, max-age=", -1, -1, -1, false},
      {"x=1, max-age=2, max-age=3", 3, -1, -1, true},
      {"max-age=abc", 0, -1, -1, true},
      {"max-age=-5", -5, -1, -1, false},
      {"max-age=30,,min-fresh=10", 30, -1, -1, true},
      {"max-age=30, ,min-fresh=10", 30, -1, -1, true},
      {"=5, min-fresh=1", -1, -1, 1, true},          // a nameless directive does not end the walk
      {"max-age=5, max-age=\n", -1, -1, -1, false},  // white space only keeps the extraction's -1
      {"", -1, -1, -1, false},
  };
  for (const auto& c : kCases) {
    const CacheControl cc = Parsed(c.header);
    EXPECT_EQ(c.max_age, cc.max_age) << c.header;
    EXPECT_EQ(c.max_stale, cc.max_stale) << c.header;
    EXPECT_EQ(c.min_fresh, cc.min_fresh) << c.header;
    EXPECT_EQ(c.has, cc.HasDirectives()) << c.header;
  }
  EXPECT_FALSE(CacheControl().HasDirectives());
}

TEST_F(CacheControlTest, ValuesReadAsAStreamExtractionReadsThem) {
  for (const char* text : {"0", "007", "+12", "-0", "- 1", "+-3", "--3", "\v 42x", "\f", "2147483647", "2147483648",
                           "-2147483648", "-2147483649", "123456789012345678901234567890", "0x1F", "1e3", ".5",
                           "\xC2\xA0"
                           "1"}) {
    std::int32_t expected = -1;
    std::istringstream(text) >> expected;
    const CacheControl cc = Parsed(std::string("min-fresh=") + text);
    EXPECT_EQ(expected, cc.min_fresh) << "[" << text << "]";
  }
}

TEST_F(CacheControlTest, BadInputIsRefusedSilently) {
  corvex_test::LogCapture log;
  CacheControl cc;
  EXPECT_FALSE(cc.Parse(nullptr, nullptr));
  for (std::string directive : {"", " =5", "=5"}) {
    apt_str_t d{&directive[0], directive.size()};
    EXPECT_FALSE(cc.ParseDirective(&d, nullptr)) << directive;
  }
  Parsed("max-age=1, max-stale=2, min-fresh=3, bogus=x");
  EXPECT_TRUE(log.Records().empty());
}

constexpr apr_time_t kNow = 1700000000000000;  // microseconds
constexpr apr_time_t kSecond = 1000000;

TEST_F(CacheControlTest, MaxAgeAgainstTheRecordsCreationTime) {
  corvex_test::LogCapture log;
  const CacheControl cc = Parsed("max-age=30");
  TARNWICKSS::FileManager::FileEntry record("w.wav", kNow - 31 * kSecond);
  EXPECT_FALSE(cc.CheckRecord(record, "ch1", kNow));
  EXPECT_EQ(log.Count("Cache Directive Mismatch: max-age [30 sec] < cur-age [31 sec] for [w.wav] <ch1@tarnwickss>",
                      APT_PRIO_DEBUG),
            1u);
  record.time = kNow - 30 * kSecond;  // exactly at the limit: still young enough
  EXPECT_TRUE(cc.CheckRecord(record, "ch1", kNow));
  record.time = kNow - 30 * kSecond - 1;
  EXPECT_FALSE(cc.CheckRecord(record, "ch1", kNow));

  // max-age=0 rejects anything older than the current microsecond.
  const CacheControl zero = Parsed("max-age=abc");
  record.time = kNow;
  EXPECT_TRUE(zero.CheckRecord(record, "ch1", kNow));
  record.time = kNow - 1;
  EXPECT_FALSE(zero.CheckRecord(record, "ch1", kNow));
}

TEST_F(CacheControlTest, MinFreshOnlyForRecordsThatExpire) {
  corvex_test::LogCapture log;
  const CacheControl cc = Parsed("min-fresh=600, max-stale=1");
  OdaEdpf::Timer* armed = reinterpret_cast<OdaEdpf::Timer*>(&log);  // only its presence counts
  TARNWICKSS::FileManager::FileEntry record("w.wav", kNow - 55 * 60 * kSecond);
  record.expiration = kNow + 300 * kSecond;
  EXPECT_TRUE(cc.CheckRecord(record, "ch1", kNow));  // no timer: never expires
  record.timer = armed;
  EXPECT_FALSE(cc.CheckRecord(record, "ch1", kNow));
  EXPECT_EQ(
      log.Count("Cache Directive Mismatch: min-fresh [600 sec] > cur-fresh [300 sec] for [w.wav] <ch1@tarnwickss>",
                APT_PRIO_DEBUG),
      1u);
  record.expiration = kNow + 600 * kSecond;  // exactly fresh enough
  EXPECT_TRUE(cc.CheckRecord(record, "ch1", kNow));
  record.expiration = kNow + 600 * kSecond - 1;
  EXPECT_FALSE(cc.CheckRecord(record, "ch1", kNow));

  // Both set: max-age is looked at first.
  const CacheControl both = Parsed("max-age=10, min-fresh=600");
  log.Clear();
  EXPECT_FALSE(both.CheckRecord(record, "ch1", kNow));
  EXPECT_EQ(log.Count("max-age [10 sec] < cur-age [3300 sec]"), 1u);
  EXPECT_EQ(log.Count("min-fresh"), 0u);
}

}  // namespace
