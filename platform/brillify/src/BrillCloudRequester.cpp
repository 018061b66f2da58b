#include "brillify/BrillCloudRequester.h"

namespace {
std::string Copy(char const* s) { return s ? std::string(s) : std::string(); }
}  // namespace

BrillCloudRequester::BrillCloudRequester(char const* client_id, char const* client_key,
                                         char const* user_id, char const* text_request_url_base,
                                         char const* voice_request_url_base,
                                         Client::Fetch::SslSetup* ssl_setup)
    : client_id_(Copy(client_id)),
      client_key_(Copy(client_key)),
      user_id_(Copy(user_id)),
      text_request_url_base_(Copy(text_request_url_base)),
      voice_request_url_base_(Copy(voice_request_url_base)),
      ssl_setup_(ssl_setup) {}

BrillCloudRequester::~BrillCloudRequester() = default;

char const* BrillCloudRequester::default_text_request_url_base() {
  return "http://127.0.0.1:8390/v1/text";
}

char const* BrillCloudRequester::default_voice_request_url_base() {
  return "http://127.0.0.1:8390/v1/voice";
}
