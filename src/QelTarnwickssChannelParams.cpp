// How a SPEAK's parameters are settled: engine defaults, then the request's
// MRCP headers, then its vendor-specific parameters.
// Engine event-processor thread.
#include <string>

#include "QelContentCharset.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssSettings.h"

namespace TARNWICKSS {

namespace {
std::string ToString(const apt_str_t& str) { return str.buf ? std::string(str.buf, str.length) : std::string(); }
}  // namespace

void RemoveQuotes(apt_str_t* str) {
  if (!str || !str->buf || str->length < 2) return;
  if (str->buf[0] != '"' || str->buf[str->length - 1] != '"') return;
  str->buf[str->length - 1] = '\0';
  str->buf++;
  str->length -= 2;
}

mrcp_status_code_e Channel::DetermineParams(const mrcp_message_t* request, const SynthSettings& defaults) {
  SpeakParams& params = details_.speak_params;
  if (!request->body.buf) return MRCP_STATUS_CODE_MISSING_PARAM;
  params.content = ToString(request->body);

  params.language = defaults.language;
  params.voice_gender = defaults.voice_gender;
  params.voice_name = defaults.voice_name;
  params.prosody = defaults.prosody;
  params.deadline = defaults.deadline;
  params.reattempt = defaults.reattempt;
  params.audio_as_url = defaults.audio_as_url;

  const mrcp_synth_header_t* synth = request->synth_header;
  if (!synth) return MRCP_STATUS_CODE_METHOD_FAILED;
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_SPEECH_LANGUAGE))
    params.language = ToString(synth->speech_language);
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_RATE))
    params.prosody.rate = synth->prosody_param.rate;
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_VOLUME))
    params.prosody.volume = synth->prosody_param.volume;
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_VOICE_GENDER))
    params.voice_gender = synth->voice_param.gender;
  if (mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_VOICE_NAME))
    params.voice_name = ToString(synth->voice_param.name);

  const mrcp_generic_header_t* generic = request->generic_header;
  if (!generic) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type");
    return MRCP_STATUS_CODE_MISSING_PARAM;
  }
  std::string content_type;
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE))
    content_type = ToString(generic->content_type);
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_LOGGING_TAG) && generic->logging_tag.buf)
    details_.logging_tag = ToString(generic->logging_tag);
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CACHE_CONTROL))
    details_.cache_control.Parse(&generic->cache_control, host_channel_->pool);
  if (mrcp_generic_header_property_check(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS))
    ParseVendorSpecificParameters(generic->vendor_specific_params, details_);

  if (content_type.empty()) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type");
    return MRCP_STATUS_CODE_MISSING_PARAM;
  }
  std::string charset;
  const bool has_charset = FindCharsetParameter(content_type, charset);
  params.DetermineContentType(content_type);
  if (params.content_type == SYNTH_CONTENT_UNKNOWN) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported Content Type [%s]", content_type.c_str());
    return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
  }
  // Text and SSML travel to the cloud inside a JSON request, as UTF-8. A URI
  // list names files and URIs and is read as it came.
  if (params.content_type == SYNTH_CONTENT_TEXT || params.content_type == SYNTH_CONTENT_SSML) {
    std::string source;
    switch (ConvertTextToUtf8(params.content, has_charset ? charset.c_str() : nullptr,
                              params.content_type == SYNTH_CONTENT_SSML, source)) {
      case TextConversion::kConverted:
        break;
      case TextConversion::kUnknownCharset:
        Log(APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported Charset [%.64s]", source.c_str());
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
      case TextConversion::kInvalidText:
        Log(APT_LOG_MARK, APT_PRIO_WARNING, "Invalid Text for Charset [%.64s]", source.c_str());
        return MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE;
    }
  }
  // The language and the voice go to the cloud in the same request (the
  // voice from Voice-Name or the vendor parameter).
  for (const auto& [field, value] :
       {std::pair{"Speech-Language", &params.language}, {"Voice-Name", &params.voice_name}}) {
    if (!IsUtf8Text(*value)) {
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Invalid Text for Header [%s]", field);
      return MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
    }
  }
  return MRCP_STATUS_CODE_SUCCESS;
}

bool Channel::ParseVendorSpecificParameters(const apr_array_header_t* params,
                                            SdrManager::SynthesisDetails& details) const {
  if (!params) return false;
  for (int i = 0; i < params->nelts; ++i) {
    // Quotes are stripped in place: the request is ours to read until answered.
    apt_pair_t* pair = &APR_ARRAY_IDX(params, i, apt_pair_t);
    if (!pair->name.buf || !pair->value.buf) continue;
    RemoveQuotes(&pair->value);
    SetSynthParameter(ToString(pair->name), ToString(pair->value), details);
  }
  return true;
}

bool Channel::SetSynthParameter(const std::string& name, const std::string& value,
                                SdrManager::SynthesisDetails& details) const {
  SpeakParams& params = details.speak_params;
  auto unknown_value = [&] {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Value [%s] of Parameter [%s]", value.c_str(), name.c_str());
  };
  if (name == "service-uri") {
    params.service_uri = value;
  } else if (name == "credentials-file") {
    params.credentials_file = value;
  } else if (name == "region") {
    params.region = value;
  } else if (name == "audio-as-url") {
    if (!ParseBooleanString(value, params.audio_as_url)) unknown_value();
  } else if (name == "voice-name") {
    params.voice_name = value;
  } else if (name == "voice-gender") {
    if (!SynthSettings::ParseVoiceGender(value, params.voice_gender)) unknown_value();
  } else {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Parameter [%s]", name.c_str());
  }
  return true;
}

}  // namespace TARNWICKSS
