#include "fault_switches.h"

#include <cerrno>
#include <cstdlib>

namespace speech_service {

namespace {

constexpr const char* kPrefix = "fault:";

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || number < low || number > high) return false;
  *value = number;
  return true;
}

}  // namespace

bool ParseFaultSwitches(const std::string& voice, FaultSwitches* switches, std::string* error) {
  *switches = FaultSwitches();
  if (voice.compare(0, 6, kPrefix) != 0) {
    switches->voice = voice;
    return true;
  }
  const std::string items = voice.substr(6);
  std::size_t begin = 0;
  while (begin <= items.size()) {
    std::size_t end = items.find(',', begin);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(begin, end - begin);
    begin = end + 1;
    if (item.empty()) continue;

    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const bool has_value = equals != std::string::npos;
    const std::string text = has_value ? item.substr(equals + 1) : std::string();
    long number = 0;
    auto flag = [&](bool* field) {
      *field = true;
      return !has_value;
    };
    auto value = [&](long low, long high, long* field) {
      if (!ParseNumber(text, low, high, &number)) return false;
      *field = number;
      return true;
    };
    long status = 0, tone = 0, fetch_status = 0, rate = 0, http_status = 0;
    bool ok = false;
    if (name == "voice") {
      switches->voice = text;
      ok = has_value;
    } else if (name == "tone") {
      ok = value(1, 7999, &tone);
      switches->tone_hz = static_cast<int>(tone);
    } else if (name == "ms") {
      ok = value(1, 60000, &switches->tone_ms);
    } else if (name == "instant") {
      ok = flag(&switches->instant);
    } else if (name == "status") {
      ok = value(-1000000, 1000000, &status);
      switches->status_given = true;
      switches->status = static_cast<int>(status);
    } else if (name == "http-status") {
      ok = value(100, 599, &http_status);
      switches->http_status = static_cast<int>(http_status);
    } else if (name == "no-status") {
      ok = flag(&switches->no_status);
    } else if (name == "empty-results") {
      ok = flag(&switches->empty_results);
    } else if (name == "missing-results") {
      ok = flag(&switches->missing_results);
    } else if (name == "missing-bytes") {
      ok = flag(&switches->missing_bytes);
    } else if (name == "empty-bytes") {
      ok = flag(&switches->empty_bytes);
    } else if (name == "missing-url") {
      ok = flag(&switches->missing_url);
    } else if (name == "empty-url") {
      ok = flag(&switches->empty_url);
    } else if (name == "malformed-json") {
      ok = flag(&switches->malformed_json);
    } else if (name == "delay") {
      ok = value(0, 600000, &switches->delay_ms);
      switches->delay_given = true;
    } else if (name == "no-answer") {
      ok = flag(&switches->no_answer);
    } else if (name == "fetch-status") {
      ok = value(100, 599, &fetch_status);
      switches->fetch.status = static_cast<int>(fetch_status);
    } else if (name == "fetch-delay") {
      ok = value(0, 600000, &switches->fetch.delay_ms);
    } else if (name == "truncate") {
      ok = value(0, 1L << 30, &switches->fetch.truncate_bytes);
    } else if (name == "piece") {
      ok = value(1, 1L << 30, &switches->fetch.piece_bytes);
      switches->fetch.paced = true;
    } else if (name == "piece-ms") {
      ok = value(0, 10000, &switches->fetch.piece_ms);
      switches->fetch.paced = true;
    } else if (name == "reset") {
      ok = flag(&switches->reset);
    } else if (name == "trickle") {
      ok = value(1, 1000, &switches->trickle_ms);
    } else if (name == "redirect") {
      ok = flag(&switches->fetch.redirect);
    } else if (name == "chunked") {
      ok = flag(&switches->fetch.chunked);
    } else if (name == "extra-chunks") {
      ok = flag(&switches->extra_chunks);
    } else if (name == "rate") {
      ok = value(4000, 48000, &rate);
      switches->wave_rate = static_cast<int>(rate);
    } else if (name == "format" || name == "channels" || name == "bits") {
      const bool format = name == "format";
      ok = value(format ? 0 : 1, format ? 65535 : 32, &number);
      (format               ? switches->wave_format
       : name == "channels" ? switches->wave_channels
                            : switches->wave_bits) = static_cast<int>(number);
    } else if (name == "extensible") {
      ok = flag(&switches->extensible);
    } else if (name == "data-size") {
      ok = value(0, 4294967295L, &switches->data_size);
    } else if (name == "trailing-chunk") {
      ok = flag(&switches->trailing_chunk);
    } else if (name == "not-wave") {
      ok = flag(&switches->not_wave);
    } else if (name == "base64") {
      switches->base64 = text;
      ok = text == "lines" || text == "junk" || text == "padding" || text == "length";
    } else {
      *error = "unknown fault switch [" + name + "]";
      return false;
    }
    if (!ok) {
      *error = "bad fault switch [" + item + "]";
      return false;
    }
  }
  return true;
}

}  // namespace speech_service
