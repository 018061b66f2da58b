// Settings records filled from the configuration document: the engine-wide
// synthesis defaults ("synth-settings") and the monitoring settings
// ("monitoring-agent" with its two handlers and their outputs), plus the
// small parsers and attribute helpers every configuration loader shares.
//
// Ownership: the engine owns one SynthSettings and one MonitoringSettings;
// each request copies the synthesis defaults. The records are plain values.
//
// Threads: loaded on the server's control thread while the engine opens,
// before the event-processor thread exists; read-only afterwards, on the
// event-processor thread.
//
// Loaders apply attributes in document order, log each at debug priority,
// match names without regard to case and take values exactly as written.
// A refused value is reported at warning priority and leaves the field as it
// was; unknown names are reported and ignored. Loading itself never fails.
// Every loader names its attributes in one table of AttributeRules and
// matches them, and element names, with NameIs.
#ifndef QEL_TARNWICKSS_SETTINGS_H
#define QEL_TARNWICKSS_SETTINGS_H

#include <apr_xml.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "QelProsodyParams.h"
#include "corvex/apt_log.h"
#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

// Whether the configuration name `name` (of an element or an attribute) is
// `expected`: equal but for the letter case of ASCII letters, whatever the
// server's locale (in a Turkish one, "I" and "i" are no pair for the C
// library's strcasecmp). A null name is no name.
bool NameIs(const char* name, const char* expected);

// True and `value` set for exactly "true" or "false"; false and `value`
// untouched for anything else ("TRUE", "1", " true" included).
bool ParseBooleanString(const std::string& text, bool& value);

// The attributes of `element` in document order. APR's parser keeps them in
// reverse; the pointers live as long as the parsed document.
std::vector<const apr_xml_attr*> AttributesInDocumentOrder(const apr_xml_elem* element);

// Applies a boolean attribute to `field`. On a refused value logs
// "Unexpected Value <%s> for Boolean Attribute <%s>" and returns false.
bool ApplyBooleanAttribute(const apr_xml_attr* attr, bool& field);

// True and `value` set when `text` is wholly a decimal integer within
// [min, max]: an optional "+" or "-", then digits only (no spaces, no
// trailing text, not empty). False and `value` untouched otherwise, an
// overflowing number included.
bool ParseIntegerString(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value);

// Likewise for a decimal number ("1.5", "-2", ".5", "1e2"): finite and
// within [min, max]; hexadecimal, "inf" and "nan" are not numbers here.
bool ParseDecimalString(const char* text, double min, double max, double& value);

// Applies a number attribute to `field`. A value that is not wholly a number
// in [min, max] is refused with "Unexpected Value <%s> for Attribute <%s>",
// the field keeps what it held, and the result is false.
bool ApplyIntegerAttribute(const apr_xml_attr* attr, std::int64_t min, std::int64_t max, std::int64_t& field);
bool ApplyDecimalAttribute(const apr_xml_attr* attr, double min, double max, double& field);

// A file age or count limit: an integer from 0 (no limit) up.
bool ApplyLimitAttribute(const apr_xml_attr* attr, std::int64_t& field);

// The most cloud workers an engine runs.
constexpr int kMaxCloudWorkers = 256;

// How one attribute applies to the record a loader fills.
template <typename Record>
struct AttributeRule {
  const char* name;
  void (*apply)(Record& record, const apr_xml_attr* attr);
};

// Rules for the common kinds of field: a boolean, a file limit, a text taken
// as written.
template <typename Record, bool Record::*Field>
void BooleanRule(Record& record, const apr_xml_attr* attr) {
  ApplyBooleanAttribute(attr, record.*Field);
}
template <typename Record, std::int64_t Record::*Field>
void LimitRule(Record& record, const apr_xml_attr* attr) {
  ApplyLimitAttribute(attr, record.*Field);
}
template <typename Record, std::string Record::*Field>
void TextRule(Record& record, const apr_xml_attr* attr) {
  record.*Field = attr->value;
}

// "Load <what> Attribute: %s = %s" at debug and "Unknown <what> Attribute
// <%s>" at warning priority.
void LogAttribute(const char* what, const apr_xml_attr* attr);
void LogUnknownAttribute(const char* what, const apr_xml_attr* attr);

// Applies the attributes of `element` to `record` in document order: logs
// each, then applies the rule of its name; an attribute without one is
// reported as unknown and ignored.
template <typename Record, std::size_t N>
void ApplyAttributes(const apr_xml_elem* element, const char* what, const AttributeRule<Record> (&rules)[N],
                     Record& record) {
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    LogAttribute(what, attr);
    const auto rule = std::find_if(std::begin(rules), std::end(rules),
                                   [attr](const AttributeRule<Record>& r) { return NameIs(attr->name, r.name); });
    if (rule != std::end(rules)) {
      rule->apply(record, attr);
    } else {
      LogUnknownAttribute(what, attr);
    }
  }
}

// Engine-wide synthesis defaults, element "synth-settings". Each request
// starts from a copy.
struct SynthSettings {
  SynthSettings();

  // Applies the attributes of `element`; child elements are not read.
  // Always true.
  bool Load(const apr_xml_elem* element);

  // "male", "female", "neutral" or "" (unknown), exactly. False and `gender`
  // untouched for anything else.
  static bool ParseVoiceGender(const std::string& text, mrcp_voice_gender_e& gender);

  std::string language;
  bool bypass_ssml;
  bool normalize_ssml;
  std::string voice_name;
  mrcp_voice_gender_e voice_gender;
  ProsodyParams prosody;
  std::string http_proxy;        // becomes the process's "http_proxy" at start
  std::string service_uri;       // carried, not applied
  std::string credentials_file;  // carried; the document's "subscription-key-file" is the one used
  bool secure_transport;         // carried, not applied
  std::string region;            // carried, not applied
  bool caching;
  std::int64_t deadline;  // always holds a 32-bit value
  bool reattempt;
  bool audio_as_url;
  // "local-file-folders": the folders whose files a URI list may play,
  // separated by ":". Without the attribute, the waveform folder and the
  // data directory; an empty value allows none. Made absolute by the engine
  // (relative ones against the data directory).
  bool local_file_folders_set = false;
  std::vector<std::string> local_file_folders;
  // Threads that make the cloud exchanges (text requests and fetches); 0:
  // the engine thread makes them itself, one at a time.
  int cloud_workers;
};

// One status output: a log line. Element "log-usage".
struct LogStatementSettings {
  // Always true.
  bool Load(const apr_xml_elem* element);

  bool enable = false;
  apt_log_priority_e priority = APT_PRIO_NOTICE;
};

// One status output: a file. Elements "update-usage" and "dump-channels".
struct StatusFileSettings {
  // Always true.
  bool Load(const apr_xml_elem* element);

  bool enable = false;
  std::string status_file;  // absolute once the engine has validated its configuration
};

// What is done on one kind of usage report: "usage-change-handler" or
// "usage-refresh-handler".
struct MonitoringHandler {
  // Loads the handler's child elements. Always true.
  bool Load(const apr_xml_elem* element);

  LogStatementSettings log_usage;
  StatusFileSettings update_usage;
  StatusFileSettings dump_channels;
};

// Element "monitoring-agent".
struct MonitoringSettings {
  // Always true.
  bool Load(const apr_xml_elem* element);

  MonitoringHandler usage_change_handler;
  MonitoringHandler usage_refresh_handler;
  std::int64_t refresh_period = 60000;  // seconds
};

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_SETTINGS_H
