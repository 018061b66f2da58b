#include "QelCloudRequestInfo.h"

#include <cstddef>
#include <random>

#include "brillify/Client/Base64.h"
#include "brillify/ClientMatchJSON.h"
#include "brillify/RequestInfoJSON.h"

namespace TARNWICKSS {

namespace {

constexpr const char* kClientName = "tarnwickss";
constexpr const char* kClientVersion = TARNWICKSS_VERSION;

// Holds one reference to an SDK value for the length of a scope.
template <typename T>
class SdkRef {
 public:
  explicit SdkRef(T* value) : value_(value) {}
  ~SdkRef() {
    if (value_) value_->release();
  }
  SdkRef(const SdkRef&) = delete;
  SdkRef& operator=(const SdkRef&) = delete;
  T* operator->() const { return value_; }
  T* get() const { return value_; }
  // Hands the reference to the caller.
  T* release() {
    T* value = value_;
    value_ = nullptr;
    return value;
  }

 private:
  T* value_;
};

// 40 URL-safe characters from 30 random bytes. The service echoes the two
// identifiers of a request in its logs, so they must differ from request to
// request, also within one second.
std::string RandomIdentifier() {
  static thread_local std::mt19937 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937(seed);
  }();
  std::string id(40, '\0');
  for (std::size_t i = 0; i < id.size(); i += 4) {
    unsigned char bytes[3];
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator() & 0xFF);
    Client::base64url_encode_three(&id[i], bytes);
  }
  return id;
}

}  // namespace

RequestInfoJSON* CreateRequestInfo(const std::string& text, bool ssml, const std::string& voice_name,
                                   const std::string& language, bool audio_as_url) {
  SdkRef<RequestInfoJSON> info(new RequestInfoJSON());
  if (!language.empty()) info->setLanguage(language.c_str());
  info->setRequestID(RandomIdentifier().c_str());
  info->setSessionID(RandomIdentifier().c_str());
  info->setClientName(kClientName);
  info->setClientVersion(kClientVersion);

  SdkRef<ClientMatchJSON> match(new ClientMatchJSON());
  match->setExpression(kQuery);
  SdkRef<JSONObjectValue> result(new JSONObjectValue());
  SdkRef<JSONStringValue> intent(new JSONStringValue(kQuery));
  result->appendPair("Intent", intent.get());
  match->setResult(result.get());
  if (ssml) {
    match->setPlainResponseText("");
    match->setPlainResponseTextLong("");
    match->setSSMLResponseText(text.c_str());
    match->setSSMLResponseTextLong(text.c_str());
  } else {
    match->setPlainResponseText(text.c_str());
    match->setPlainResponseTextLong(text.c_str());
  }
  match->setResponseText(text.c_str());
  match->setResponseTextLong(text.c_str());
  info->clearClientMatches();
  info->setClientMatchesPresent();
  info->appendClientMatch(match.get());

  info->setResponseVoice(voice_name.empty() ? "Default" : voice_name.c_str());
  info->setResponseAudioShortOrLong(RequestInfoJSON::stringToResponseAudioShortOrLong("Short"));
  if (audio_as_url) info->setResponseAudioAsURL(true);
  return info.release();
}

}  // namespace TARNWICKSS
