// SessionParams. Values are judged in their text form, as the client wrote
// them; a typed value the text form cannot even carry (a gender or prosody
// label out of range in the record) is outside its grammar as well.
#include "session_params.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "message_headers.h"

namespace corvex {

namespace {

using Check = bool (*)(const std::string& value);

bool Any(const std::string& value) { return !value.empty(); }

bool Digits(const std::string& value, std::size_t most) {
  return !value.empty() && value.size() <= most &&
         std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool OneOf(const std::string& value, std::initializer_list<const char*> words) {
  return std::any_of(words.begin(), words.end(), [&](const char* w) { return SameName(value, w); });
}

// A decimal number without sign; false for anything else.
bool Decimal(const std::string& text, double* out) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

bool Boolean(const std::string& v) { return OneOf(v, {"true", "false"}); }
bool Gender(const std::string& v) { return OneOf(v, {"male", "female", "neutral"}); }
bool Age(const std::string& v) { return Digits(v, 3); }
bool Variant(const std::string& v) { return Digits(v, 19); }
bool FetchHint(const std::string& v) { return OneOf(v, {"prefetch", "safe"}); }
bool AudioFetchHint(const std::string& v) { return OneOf(v, {"prefetch", "safe", "stream"}); }
bool Number(const std::string& v) { return Digits(v, 10); }

// A label, a multiplier above 0, or a percentage above 0.
bool Rate(const std::string& v) {
  if (OneOf(v, {"x-slow", "slow", "medium", "fast", "x-fast", "default"})) return true;
  const bool percent = !v.empty() && v.back() == '%';
  double value = 0;
  return Decimal(percent ? v.substr(0, v.size() - 1) : v, &value) && value > 0;
}

// A label, a level from 0 to 100, or a signed change in percent.
bool Volume(const std::string& v) {
  if (OneOf(v, {"silent", "x-soft", "soft", "medium", "loud", "x-loud", "default"})) return true;
  double value = 0;
  if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
    const std::string number = v.substr(1, v.size() - 1 - (v.back() == '%' ? 1 : 0));
    return Decimal(number, &value);
  }
  return Decimal(v, &value) && value <= 100;
}

// A language tag: letters, then subtags of letters and digits, 1 to 8 each.
bool Language(const std::string& v) {
  std::size_t start = 0;
  for (std::size_t part = 0; start <= v.size(); ++part) {
    std::size_t end = v.find('-', start);
    if (end == std::string::npos) end = v.size();
    if (end == start || end - start > 8) return false;
    for (std::size_t i = start; i < end; ++i) {
      const unsigned char c = static_cast<unsigned char>(v[i]);
      if (!(part == 0 ? std::isalpha(c) : std::isalnum(c))) return false;
    }
    start = end + 1;
  }
  return true;
}

struct Param {
  const char* name;
  const char* fallback;  // its default; null: none (a generic parameter, answered once set)
  Check valid;
};

// The synthesizer's parameters first, in the order GET-PARAMS answers them.
// Defaults are RFC 6787's where it gives one, the server's choice where not.
const Param kParams[] = {
    {"Kill-On-Barge-In", "true", Boolean},
    {"Voice-Gender", "neutral", Gender},
    {"Voice-Age", "30", Age},
    {"Voice-Variant", "1", Variant},
    {"Voice-Name", "default", Any},
    {"Prosody-Volume", "default", Volume},
    {"Prosody-Rate", "default", Rate},
    {"Speech-Language", "en-US", Language},
    {"Fetch-Hint", "prefetch", FetchHint},
    {"Audio-Fetch-Hint", "prefetch", AudioFetchHint},
    {"Logging-Tag", nullptr, Any},
    {"Cache-Control", nullptr, Any},
    {"Fetch-Timeout", nullptr, Number},
    {"Vendor-Specific-Parameters", nullptr, Any},
};

const char* const kVendor = "Vendor-Specific-Parameters";

const Param* Find(const std::string& name) {
  for (const Param& p : kParams) {
    if (SameName(name, p.name)) return &p;
  }
  return nullptr;
}

std::string ValueOf(const std::string& line) {
  std::size_t colon = line.find(':');
  std::size_t begin = line.find_first_not_of(' ', colon + 1);
  return begin == std::string::npos ? std::string() : line.substr(begin);
}

std::vector<SessionParams::Pair> VendorPairs(const mrcp_message_t* message) {
  std::vector<SessionParams::Pair> pairs;
  const apr_array_header_t* params =
      message->generic_header ? message->generic_header->vendor_specific_params : nullptr;
  if (!params || !mrcp_generic_header_property_check(message, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS) ||
      params->elt_size != static_cast<int>(sizeof(apt_pair_t))) {
    return pairs;
  }
  const auto* items = reinterpret_cast<const apt_pair_t*>(params->elts);
  for (int i = 0; i < params->nelts; ++i) {
    pairs.emplace_back(std::string(items[i].name.buf ? items[i].name.buf : "", items[i].name.length),
                       std::string(items[i].value.buf ? items[i].value.buf : "", items[i].value.length));
  }
  return pairs;
}

// "Vendor-Specific-Parameters: a=1;b".
std::string VendorLine(const std::vector<SessionParams::Pair>& pairs) {
  std::string line = std::string(kVendor) + ": ";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    line += (i ? ";" : "") + pairs[i].first + (pairs[i].second.empty() ? "" : "=" + pairs[i].second);
  }
  return line;
}

// Typed values the text form cannot carry: "Name:" for each.
std::vector<std::string> Unwritable(const mrcp_message_t* m) {
  std::vector<std::string> lines;
  const mrcp_synth_header_t* s = m->synth_header;
  if (!s) return lines;
  if (mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_VOICE_GENDER) &&
      static_cast<unsigned>(s->voice_param.gender) > VOICE_GENDER_NEUTRAL) {
    lines.push_back("Voice-Gender:");
  }
  const mrcp_prosody_rate_t& rate = s->prosody_param.rate;
  if (mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_PROSODY_RATE) &&
      (rate.type == PROSODY_RATE_TYPE_LABEL ? static_cast<unsigned>(rate.value.label) >= PROSODY_RATE_UNKNOWN
                                            : rate.type != PROSODY_RATE_TYPE_RELATIVE_CHANGE)) {
    lines.push_back("Prosody-Rate:");
  }
  const mrcp_prosody_volume_t& volume = s->prosody_param.volume;
  if (mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_PROSODY_VOLUME) &&
      (volume.type == PROSODY_VOLUME_TYPE_LABEL ? static_cast<unsigned>(volume.value.label) >= PROSODY_VOLUME_UNKNOWN
                                                : static_cast<unsigned>(volume.type) >= PROSODY_VOLUME_TYPE_UNKNOWN)) {
    lines.push_back("Prosody-Volume:");
  }
  return lines;
}

}  // namespace

SessionParams::Verdict SessionParams::JudgeSet(const mrcp_message_t* request) {
  Verdict verdict;
  std::vector<std::string> unsupported;
  std::vector<std::string> illegal = Unwritable(request);
  if (illegal.empty()) {
    for (const std::string& line : HeaderLines(request)) {
      const Param* param = Find(HeaderName(line));
      if (!param) {
        unsupported.push_back(line);
      } else if (!param->valid(ValueOf(line))) {
        illegal.push_back(line);
      } else if (!SameName(param->name, kVendor)) {
        verdict.lines.push_back(std::string(param->name) + ": " + ValueOf(line));
      }
    }
  }
  if (!unsupported.empty() || !illegal.empty()) {
    verdict.status = unsupported.empty() ? MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE : MRCP_STATUS_CODE_UNSUPPORTED_PARAM;
    verdict.offending = unsupported.empty() ? illegal : unsupported;
    verdict.lines.clear();
    return verdict;
  }
  verdict.vendor = VendorPairs(request);
  return verdict;
}

SessionParams::Verdict SessionParams::JudgeGet(const mrcp_message_t* request) {
  Verdict verdict;
  for (const std::string& line : HeaderLines(request)) {
    const Param* param = Find(HeaderName(line));
    if (!param) {
      verdict.offending.push_back(line);
    } else {
      verdict.lines.push_back(param->name);
    }
  }
  if (!verdict.offending.empty()) {
    verdict.status = MRCP_STATUS_CODE_UNSUPPORTED_PARAM;
    verdict.lines.clear();
  }
  verdict.vendor = VendorPairs(request);
  return verdict;
}

void SessionParams::Values::Apply(const Verdict& set) {
  for (const std::string& line : set.lines) {
    const std::string name = HeaderName(line);
    auto same =
        std::find_if(lines.begin(), lines.end(), [&](const std::string& s) { return SameName(HeaderName(s), name); });
    if (same != lines.end()) {
      *same = line;
    } else {
      lines.push_back(line);
    }
  }
  for (const Pair& pair : set.vendor) {
    auto same = std::find_if(vendor.begin(), vendor.end(), [&](const Pair& p) { return p.first == pair.first; });
    if (same != vendor.end()) {
      same->second = pair.second;
    } else {
      vendor.push_back(pair);
    }
  }
}

std::string SessionParams::Values::Value(const std::string& name) const {
  for (const std::string& line : lines) {
    if (SameName(HeaderName(line), name)) return ValueOf(line);
  }
  const Param* param = Find(name);
  return param && param->fallback ? param->fallback : "";
}

SessionParams::Values SessionParams::Current() const {
  Values values = settled_;
  for (const auto& [id, set] : proposed_) values.Apply(set);
  return values;
}

void SessionParams::Propose(mrcp_request_id id, const Verdict& set) { proposed_.emplace_back(id, set); }

void SessionParams::Settle(mrcp_request_id id, bool success) {
  auto it = std::find_if(proposed_.begin(), proposed_.end(), [id](const auto& p) { return p.first == id; });
  if (it == proposed_.end()) return;
  if (success) settled_.Apply(it->second);
  proposed_.erase(it);
}

std::vector<std::string> SessionParams::ForSpeak(const mrcp_message_t* speak) const {
  std::vector<std::string> add;
  const Values current = Current();
  if (current.lines.empty() && current.vendor.empty()) return add;
  const std::vector<std::string> own = HeaderLines(speak);
  auto carries = [&](const std::string& name) {
    return std::any_of(own.begin(), own.end(), [&](const std::string& o) { return SameName(HeaderName(o), name); });
  };
  for (const std::string& line : current.lines) {
    if (!carries(HeaderName(line))) add.push_back(line);
  }
  std::vector<Pair> vendor = VendorPairs(speak);
  const std::size_t own_vendor = vendor.size();
  for (const Pair& pair : current.vendor) {
    if (std::none_of(vendor.begin(), vendor.end(), [&](const Pair& p) { return p.first == pair.first; })) {
      vendor.push_back(pair);
    }
  }
  if (vendor.size() > own_vendor) add.push_back(VendorLine(vendor));
  return add;
}

std::vector<std::string> SessionParams::Answer(const Verdict& get) const {
  std::vector<std::string> answer;
  const Values current = Current();
  std::vector<std::string> names = get.lines;
  if (names.empty()) {
    for (const Param& p : kParams) names.push_back(p.name);
  }
  for (const std::string& name : names) {
    if (SameName(name, kVendor)) {
      // The names asked for that were set; asked for none, all that were.
      std::vector<Pair> pairs;
      for (const Pair& pair : current.vendor) {
        if (get.vendor.empty() ||
            std::any_of(get.vendor.begin(), get.vendor.end(), [&](const Pair& p) { return p.first == pair.first; })) {
          pairs.push_back(pair);
        }
      }
      if (!pairs.empty()) answer.push_back(VendorLine(pairs));
    } else if (const std::string value = current.Value(name); !value.empty()) {
      answer.push_back(std::string(Find(name)->name) + ": " + value);
    }
  }
  return answer;
}

}  // namespace corvex
