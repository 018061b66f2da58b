#include "brillify/CommandResultJSON.h"

namespace {
constexpr const char* kAudioUrl = "ResponseAudioURL";
constexpr const char* kAudioBytes = "ResponseAudioBytes";
}  // namespace

bool CommandResultJSON::hasResponseAudioURL() const { return findString(kAudioUrl) != nullptr; }
const std::string& CommandResultJSON::getResponseAudioURL() const { return stringOrEmpty(kAudioUrl); }
bool CommandResultJSON::hasResponseAudioBytes() const { return findString(kAudioBytes) != nullptr; }
const std::string& CommandResultJSON::getResponseAudioBytes() const { return stringOrEmpty(kAudioBytes); }
