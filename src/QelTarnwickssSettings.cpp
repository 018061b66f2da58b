#include "QelTarnwickssSettings.h"

#include <apr_cstr.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "QelLogUrls.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

constexpr double kFloatMax = std::numeric_limits<float>::max();

// The digits of a number without its sign, for from_chars, which takes "-"
// but not "+". Null for an empty text or a sign without a number behind it.
const char* SkipPlusSign(const char* text) {
  if (!text) return nullptr;
  if (*text == '+') {
    ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text)) && *text != '.') return nullptr;
  }
  return *text ? text : nullptr;
}

// The non-empty parts of a ":"-separated list.
std::vector<std::string> SplitFolderList(const std::string& list) {
  std::vector<std::string> folders;
  std::size_t begin = 0;
  while (begin <= list.size()) {
    std::size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) folders.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return folders;
}

void RefuseValue(const apr_xml_attr* attr) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for Attribute <%s>", attr->value,
          attr->name);
}

void RefuseValue(const apr_xml_attr* attr, bool refused) {
  if (refused) RefuseValue(attr);
}

using SynthRule = AttributeRule<SynthSettings>;
const SynthRule kSynthRules[] = {
    {"language", TextRule<SynthSettings, &SynthSettings::language>},
    {"bypass-ssml", BooleanRule<SynthSettings, &SynthSettings::bypass_ssml>},
    {"normalize-ssml", BooleanRule<SynthSettings, &SynthSettings::normalize_ssml>},
    {"voice-name", TextRule<SynthSettings, &SynthSettings::voice_name>},
    {"voice-gender",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       RefuseValue(attr, !SynthSettings::ParseVoiceGender(attr->value, s.voice_gender));
     }},
    {"prosody-pitch",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       if (*attr->value) s.prosody.pitch = attr->value;
     }},
    {"prosody-rate",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       // Narrowed to the MRCP rate's float before scaling, so 0.3 gives
       // 30.000002. Cache matching compares these bits, so the steps and
       // their order must stay as they are. The range keeps the scaled float
       // finite.
       double rate = 0;
       if (*attr->value && ApplyDecimalAttribute(attr, -kFloatMax / 1000, kFloatMax / 1000, rate)) {
         s.prosody.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
         s.prosody.rate.value.relative = static_cast<float>(rate) * 100.0f;
       }
     }},
    {"prosody-volume",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       double volume = 0;
       if (*attr->value && ApplyDecimalAttribute(attr, -kFloatMax, kFloatMax, volume)) {
         s.prosody.volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
         s.prosody.volume.value.numeric = static_cast<float>(volume);
       }
     }},
    {"http-proxy", TextRule<SynthSettings, &SynthSettings::http_proxy>},
    {"service-uri", TextRule<SynthSettings, &SynthSettings::service_uri>},
    {"credentials-file", TextRule<SynthSettings, &SynthSettings::credentials_file>},
    {"secure-transport", BooleanRule<SynthSettings, &SynthSettings::secure_transport>},
    {"region", TextRule<SynthSettings, &SynthSettings::region>},
    {"caching", BooleanRule<SynthSettings, &SynthSettings::caching>},
    {"deadline",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       // A 32-bit quantity carried in a 64-bit field; negative values are
       // kept as they are.
       ApplyIntegerAttribute(attr, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                             s.deadline);
     }},
    {"reattempt", BooleanRule<SynthSettings, &SynthSettings::reattempt>},
    {"audio-as-url", BooleanRule<SynthSettings, &SynthSettings::audio_as_url>},
    {"local-file-folders",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       s.local_file_folders = SplitFolderList(attr->value);
       s.local_file_folders_set = true;
     }},
    {"cloud-workers",
     [](SynthSettings& s, const apr_xml_attr* attr) {
       // Wholly a number in range, or refused: a typo must not start a
       // thousand threads, nor silently none.
       std::int64_t workers = s.cloud_workers;
       if (ApplyIntegerAttribute(attr, 0, kMaxCloudWorkers, workers)) s.cloud_workers = static_cast<int>(workers);
     }},
};

const AttributeRule<LogStatementSettings> kLogStatementRules[] = {
    {"enable", BooleanRule<LogStatementSettings, &LogStatementSettings::enable>},
    {"priority",
     [](LogStatementSettings& s, const apr_xml_attr* attr) { s.priority = apt_log_priority_translate(attr->value); }},
};

const AttributeRule<StatusFileSettings> kStatusFileRules[] = {
    {"enable", BooleanRule<StatusFileSettings, &StatusFileSettings::enable>},
    {"status-file", TextRule<StatusFileSettings, &StatusFileSettings::status_file>},
};

const AttributeRule<MonitoringSettings> kMonitoringRules[] = {
    {"refresh-period",
     [](MonitoringSettings& s, const apr_xml_attr* attr) {
       ApplyIntegerAttribute(attr, 0, std::numeric_limits<std::int64_t>::max(), s.refresh_period);
     }},
};

}  // namespace

bool NameIs(const char* name, const char* expected) { return name && apr_cstr_casecmp(name, expected) == 0; }

void LogAttribute(const char* what, const apr_xml_attr* attr) {
  // A proxy or service URL ("http-proxy", "service-uri") may hold a password.
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load %s Attribute: %s = %s", what, attr->name,
          MaskUrlUserInfo(attr->value).c_str());
}

void LogUnknownAttribute(const char* what, const apr_xml_attr* attr) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown %s Attribute <%s>", what, attr->name);
}

bool ParseBooleanString(const std::string& text, bool& value) {
  if (text == "true") {
    value = true;
    return true;
  }
  if (text == "false") {
    value = false;
    return true;
  }
  return false;
}

std::vector<const apr_xml_attr*> AttributesInDocumentOrder(const apr_xml_elem* element) {
  std::vector<const apr_xml_attr*> attributes;
  for (const apr_xml_attr* attr = element ? element->attr : nullptr; attr; attr = attr->next) {
    attributes.push_back(attr);
  }
  return std::vector<const apr_xml_attr*>(attributes.rbegin(), attributes.rend());
}

bool ApplyBooleanAttribute(const apr_xml_attr* attr, bool& field) {
  if (ParseBooleanString(attr->value, field)) return true;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for Boolean Attribute <%s>",
          attr->value, attr->name);
  return false;
}

bool ParseIntegerString(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value) {
  const char* begin = SkipPlusSign(text);
  if (!begin) return false;
  const char* end = begin + std::strlen(begin);
  std::int64_t parsed = 0;
  const std::from_chars_result result = std::from_chars(begin, end, parsed, 10);
  if (result.ec != std::errc() || result.ptr != end || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool ParseDecimalString(const char* text, double min, double max, double& value) {
  const char* begin = SkipPlusSign(text);
  if (!begin) return false;
  const char* end = begin + std::strlen(begin);
  // from_chars, unlike strtod, does not depend on the server's locale.
  double parsed = 0;
  const std::from_chars_result result = std::from_chars(begin, end, parsed, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != end || !std::isfinite(parsed) || parsed < min || parsed > max) {
    return false;
  }
  value = parsed;
  return true;
}

bool ApplyIntegerAttribute(const apr_xml_attr* attr, std::int64_t min, std::int64_t max, std::int64_t& field) {
  if (ParseIntegerString(attr->value, min, max, field)) return true;
  RefuseValue(attr);
  return false;
}

bool ApplyDecimalAttribute(const apr_xml_attr* attr, double min, double max, double& field) {
  if (ParseDecimalString(attr->value, min, max, field)) return true;
  RefuseValue(attr);
  return false;
}

bool ApplyLimitAttribute(const apr_xml_attr* attr, std::int64_t& field) {
  // A negative limit has no meaning and would reach the file store's
  // timers; 0 is how a limit is switched off.
  return ApplyIntegerAttribute(attr, 0, std::numeric_limits<std::int64_t>::max(), field);
}

SynthSettings::SynthSettings()
    : language("en-US"),
      bypass_ssml(true),
      normalize_ssml(true),
      voice_gender(VOICE_GENDER_UNKNOWN),
      secure_transport(false),
      caching(false),
      deadline(0),
      reattempt(false),
      audio_as_url(false),
      cloud_workers(0) {}

bool SynthSettings::ParseVoiceGender(const std::string& text, mrcp_voice_gender_e& gender) {
  if (text == "male") {
    gender = VOICE_GENDER_MALE;
  } else if (text == "female") {
    gender = VOICE_GENDER_FEMALE;
  } else if (text == "neutral") {
    gender = VOICE_GENDER_NEUTRAL;
  } else if (text.empty()) {
    gender = VOICE_GENDER_UNKNOWN;
  } else {
    return false;
  }
  return true;
}

bool SynthSettings::Load(const apr_xml_elem* element) {
  ApplyAttributes(element, "Synth", kSynthRules, *this);
  return true;
}

bool LogStatementSettings::Load(const apr_xml_elem* element) {
  ApplyAttributes(element, "Log Statement", kLogStatementRules, *this);
  return true;
}

bool StatusFileSettings::Load(const apr_xml_elem* element) {
  ApplyAttributes(element, "Status File", kStatusFileRules, *this);
  return true;
}

bool MonitoringHandler::Load(const apr_xml_elem* element) {
  // A handler only groups its outputs; an attribute on it is a mistake
  // worth pointing out.
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Monitoring Handler Attribute <%s>", attr->name);
  }
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (NameIs(child->name, "log-usage")) {
      log_usage.Load(child);
    } else if (NameIs(child->name, "update-usage")) {
      update_usage.Load(child);
    } else if (NameIs(child->name, "dump-channels")) {
      dump_channels.Load(child);
    } else {
      apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s> in <%s>", child->name,
              element->name);
    }
  }
  return true;
}

bool MonitoringSettings::Load(const apr_xml_elem* element) {
  ApplyAttributes(element, "Monitoring", kMonitoringRules, *this);
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (NameIs(child->name, "usage-change-handler")) {
      usage_change_handler.Load(child);
    } else if (NameIs(child->name, "usage-refresh-handler")) {
      usage_refresh_handler.Load(child);
    } else {
      apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s> in <%s>", child->name,
              "monitoring-agent");
    }
  }
  return true;
}

}  // namespace TARNWICKSS
