#include "QelSdrManager.h"

#include <strings.h>

#include "QelTarnwickssPlugin.h"
#include "QelTarnwickssSettings.h"

namespace TARNWICKSS {

SdrManager::Settings::Settings()
    : save_records(false),
      purge_existing(false),
      max_file_age(60),
      max_file_count(100),
      file_prefix("sdr-"),
      file_ext(".json"),
      log_level(OdaEdpf::LogNotice),
      use_logging_tag(false) {}

bool SdrManager::Settings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    const char* name = attr->name;
    const char* value = attr->value;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load SDR Manager Attribute: %s = %s", name,
            value);
    if (strcasecmp(name, "save-records") == 0) {
      ApplyBooleanAttribute(attr, save_records);
    } else if (strcasecmp(name, "purge-existing") == 0) {
      ApplyBooleanAttribute(attr, purge_existing);
    } else if (strcasecmp(name, "max-file-age") == 0) {
      ApplyLimitAttribute(attr, max_file_age);
    } else if (strcasecmp(name, "max-file-count") == 0) {
      ApplyLimitAttribute(attr, max_file_count);
    } else if (strcasecmp(name, "record-folder") == 0) {
      record_folder = value;
    } else if (strcasecmp(name, "file-prefix") == 0) {
      file_prefix = value;
    } else if (strcasecmp(name, "file-ext") == 0) {
      file_ext = value;
    } else if (strcasecmp(name, "log-level") == 0) {
      // Not a level name (the empty value included): keep the level, quietly.
      OdaEdpf::TranslateLogLevel(value, log_level);
    } else if (strcasecmp(name, "use-logging-tag") == 0) {
      ApplyBooleanAttribute(attr, use_logging_tag);
    } else {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown SDR Manager Attribute <%s>", name);
    }
  }
  return true;
}

void SdrManager::SynthesisDetails::Reset() {
  enabled = false;
  name.clear();
  mrcp_version = MRCP_VERSION_UNKNOWN;
  sampling_rate = 0;
  codec.clear();
  speak_params.Reset();
  content.segments.clear();
  cache_control.Reset();
  request_time = 0;
  stream_start_time = 0;
  completion_time = 0;
  data_length = 0;
  segment_counter = 0;
  attempt_counter = 0;
  completion_cause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
  logging_tag.clear();
}

}  // namespace TARNWICKSS
