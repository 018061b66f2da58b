#include "QelTarnwickssSettings.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

bool NameIs(const char* name, const char* expected) { return strcasecmp(name, expected) == 0; }

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

struct SynthBoolean {
  const char* name;
  bool SynthSettings::*field;
};

struct SynthText {
  const char* name;
  std::string SynthSettings::*field;
};

const SynthBoolean kSynthBooleans[] = {
    {"bypass-ssml", &SynthSettings::bypass_ssml},
    {"normalize-ssml", &SynthSettings::normalize_ssml},
    {"secure-transport", &SynthSettings::secure_transport},
    {"caching", &SynthSettings::caching},
    {"reattempt", &SynthSettings::reattempt},
    {"audio-as-url", &SynthSettings::audio_as_url},
};

const SynthText kSynthTexts[] = {
    {"language", &SynthSettings::language},
    {"voice-name", &SynthSettings::voice_name},
    {"http-proxy", &SynthSettings::http_proxy},
    {"service-uri", &SynthSettings::service_uri},
    {"credentials-file", &SynthSettings::credentials_file},
    {"region", &SynthSettings::region},
};

template <typename Entry, std::size_t N>
const Entry* FindByName(const Entry (&table)[N], const char* name) {
  for (const Entry& entry : table) {
    if (NameIs(name, entry.name)) return &entry;
  }
  return nullptr;
}

}  // namespace

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
      audio_as_url(false) {}

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
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    const char* name = attr->name;
    const char* value = attr->value;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Synth Attribute: %s = %s", name, value);

    if (const SynthBoolean* entry = FindByName(kSynthBooleans, name)) {
      ApplyBooleanAttribute(attr, this->*entry->field);
    } else if (const SynthText* entry = FindByName(kSynthTexts, name)) {
      this->*entry->field = value;
    } else if (NameIs(name, "voice-gender")) {
      if (!ParseVoiceGender(value, voice_gender)) {
        apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected Value <%s> for Attribute <%s>", value,
                name);
      }
    } else if (NameIs(name, "prosody-pitch")) {
      if (*value) prosody.pitch = value;
    } else if (NameIs(name, "prosody-rate")) {
      // Narrowed to the MRCP rate's float before scaling, so 0.3 gives
      // 30.000002. Cache matching compares these bits, so the steps and
      // their order must stay as they are. The range keeps the scaled float
      // finite.
      double rate = 0;
      if (*value && ApplyDecimalAttribute(attr, -kFloatMax / 1000, kFloatMax / 1000, rate)) {
        prosody.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
        prosody.rate.value.relative = static_cast<float>(rate) * 100.0f;
      }
    } else if (NameIs(name, "prosody-volume")) {
      double volume = 0;
      if (*value && ApplyDecimalAttribute(attr, -kFloatMax, kFloatMax, volume)) {
        prosody.volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
        prosody.volume.value.numeric = static_cast<float>(volume);
      }
    } else if (NameIs(name, "local-file-folders")) {
      local_file_folders = SplitFolderList(value);
      local_file_folders_set = true;
    } else if (NameIs(name, "deadline")) {
      // A 32-bit quantity carried in a 64-bit field; negative values are
      // kept as they are.
      ApplyIntegerAttribute(attr, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                            deadline);
    } else {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Synth Attribute <%s>", name);
    }
  }
  return true;
}

bool LogStatementSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Log Statement Attribute: %s = %s", attr->name,
            attr->value);
    if (NameIs(attr->name, "enable")) {
      ApplyBooleanAttribute(attr, enable);
    } else if (NameIs(attr->name, "priority")) {
      priority = apt_log_priority_translate(attr->value);
    } else {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Log Statement Attribute <%s>", attr->name);
    }
  }
  return true;
}

bool StatusFileSettings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Status File Attribute: %s = %s", attr->name,
            attr->value);
    if (NameIs(attr->name, "enable")) {
      ApplyBooleanAttribute(attr, enable);
    } else if (NameIs(attr->name, "status-file")) {
      status_file = attr->value;
    } else {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Status File Attribute <%s>", attr->name);
    }
  }
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
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Monitoring Attribute: %s = %s", attr->name,
            attr->value);
    if (NameIs(attr->name, "refresh-period")) {
      ApplyIntegerAttribute(attr, 0, std::numeric_limits<std::int64_t>::max(), refresh_period);
    } else {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Monitoring Attribute <%s>", attr->name);
    }
  }
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
