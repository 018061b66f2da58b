#include "QelSdrManager.h"

#include <apr_file_info.h>
#include <apr_strings.h>
#include <apr_time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "QelFileNames.h"
#include "QelTarnwickssPlugin.h"
#include "QelTarnwickssSettings.h"
#include "QelTimeSpan.h"

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
  using S = Settings;
  static const AttributeRule<S> kRules[] = {
      {"save-records", BooleanRule<S, &S::save_records>},
      {"purge-existing", BooleanRule<S, &S::purge_existing>},
      {"max-file-age", LimitRule<S, &S::max_file_age>},
      {"max-file-count", LimitRule<S, &S::max_file_count>},
      {"record-folder", TextRule<S, &S::record_folder>},
      {"file-prefix", TextRule<S, &S::file_prefix>},
      {"file-ext", TextRule<S, &S::file_ext>},
      // Not a level name (the empty value included): keep the level, quietly.
      {"log-level", [](S& s, const apr_xml_attr* attr) { OdaEdpf::TranslateLogLevel(attr->value, s.log_level); }},
      {"use-logging-tag", BooleanRule<S, &S::use_logging_tag>},
  };
  ApplyAttributes(element, "SDR Manager", kRules, *this);
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

namespace TARNWICKSS {

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no
// surrogate, at most U+10FFFF), or 0 when the bytes there are not one.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  auto at = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
  auto tail = [&](std::size_t k) { return (at(k) & 0xC0) == 0x80; };
  const unsigned c = at(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return tail(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    return at(1) >= low && at(1) <= high && tail(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    return at(1) >= low && at(1) <= high && tail(2) && tail(3) ? 4 : 0;
  }
  return 0;
}

// A JSON string's content: quotation mark, backslash and control characters
// escaped, UTF-8 as it is, and every byte that is not part of well-formed
// UTF-8 written as U+FFFD, so the record is UTF-8 whatever the request sent.
std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Milliseconds from `from` to `to`; 0 when the clock was stepped back.
std::string Millis(std::int64_t to, std::int64_t from) { return std::to_string(TimeSpan(from, to) / 1000) + " ms"; }

}  // namespace

SdrManager::SdrManager(const Settings& settings)
    : OdaEdpf::FileManager(sdr_log_facility_),
      sdr_log_facility_("SDRM", settings.log_level),
      save_records_(settings.save_records),
      use_logging_tag_(settings.use_logging_tag) {
  SetDirectory(settings.record_folder);
  file_prefix_ = settings.file_prefix;
  file_suffix_ = settings.file_ext;
  max_age_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, settings.max_file_age));
  max_count_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, settings.max_file_count));
  purge_existing_ = settings.purge_existing;
}

SdrManager::~SdrManager() = default;

bool SdrManager::ComposeName(std::string& name, const std::string& channel_id, unsigned long request_id,
                             const std::string& logging_tag, apr_pool_t* pool) const {
  const char* composed;
  if (!logging_tag.empty() && use_logging_tag_) {
    const std::string head = file_prefix_ + channel_id + "-" + std::to_string(request_id) + "-";
    const std::string tag = CleanFileNamePart(logging_tag, FileNameRoom(head.size() + file_suffix_.size()));
    composed = apr_psprintf(pool, "%s%s%s", head.c_str(), tag.c_str(), file_suffix_.c_str());
  } else {
    composed =
        apr_psprintf(pool, "%s%s-%lu%s", file_prefix_.c_str(), channel_id.c_str(), request_id, file_suffix_.c_str());
  }
  if (!composed) return false;
  name = composed;
  return true;
}

bool SdrManager::ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const {
  char* merged = nullptr;
  if (apr_filepath_merge(&merged, directory_.c_str(), name.c_str(), APR_FILEPATH_NATIVE, pool) != APR_SUCCESS ||
      !merged) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Compose SDR File Path for [%s]",
            name.c_str());
    return false;
  }
  path = merged;
  return true;
}

bool SdrManager::SynthesisDetails::GetTimestampStr(long time, std::string& text) {
  if (time == 0) return true;
  apr_time_exp_t exploded;
  apr_time_exp_lt(&exploded, time);
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%4d-%02d-%02d %02d:%02d:%02d", exploded.tm_year + 1900, exploded.tm_mon + 1,
                exploded.tm_mday, exploded.tm_hour, exploded.tm_min, exploded.tm_sec);
  text = buffer;
  return true;
}

bool SdrManager::SynthesisDetails::Save(const std::string& path) const {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Save SDR %s", path.c_str());
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open SDR File %s", path.c_str());
    return false;
  }
  std::string datetime;
  GetTimestampStr(static_cast<long>(request_time), datetime);
  const char* cause = mrcp_synth_completion_cause_get(completion_cause, mrcp_version);
  const char* gender = "";
  switch (speak_params.voice_gender) {
    case VOICE_GENDER_MALE:
      gender = "male";
      break;
    case VOICE_GENDER_FEMALE:
      gender = "female";
      break;
    case VOICE_GENDER_NEUTRAL:
      gender = "neutral";
      break;
    default:
      break;
  }
  // A SPEAK whose streaming never began has no start-of-streaming time.
  const std::string streaming = stream_start_time ? Millis(stream_start_time, request_time) : std::string();
  out << "{\"synth-details-record\": {\n"
      << "   \"datetime\": \"" << datetime << "\",\n"
      << "   \"language\": \"" << JsonEscape(speak_params.language) << "\",\n"
      << "   \"voice-name\": \"" << JsonEscape(speak_params.voice_name) << "\",\n"
      << "   \"voice-gender\": \"" << gender << "\",\n"
      << "   \"sampling-rate\": \"" << sampling_rate << " Hz\",\n"
      << "   \"codec\": \"" << JsonEscape(codec) << "\",\n"
      << "   \"data-length\": \"" << data_length << " bytes\",\n"
      << "   \"start-of-streaming-ts\": \"" << streaming << "\",\n"
      << "   \"completion-ts\": \"" << Millis(completion_time, request_time) << "\",\n"
      << "   \"completion-cause\": \"" << JsonEscape(cause ? cause : "") << "\"\n"
      << "}}\n";
  out.close();
  return true;
}

}  // namespace TARNWICKSS
