#include "brillify/BrillCloudRequester.h"

#include <openssl/crypto.h>

#include <ctime>

#include "Error.h"
#include "JSONWriter.h"
#include "brillify/Client/Connection.h"
#include "brillify/RequestSignature.h"

namespace {

std::string Copy(char const* s) { return s ? std::string(s) : std::string(); }

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

std::string RequestBody(const char* query, const JSONBase* state, const RequestInfoJSON* info,
                        const JSONObjectValue* extras) {
  rapidjson::StringBuffer buffer;
  JSONWriter writer(buffer);
  writer.StartObject();
  writer.Key("Query");
  writer.String(query ? query : "");
  if (info) {
    writer.Key("RequestInfo");
    info->write(writer);
  }
  if (state) {
    writer.Key("ConversationState");
    state->write(writer);
  }
  if (extras) {
    writer.Key("Extras");
    extras->write(writer);
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

BrillCloudRequester::BrillCloudRequester(char const* client_id, char const* client_key, char const* user_id,
                                         char const* text_request_url_base, char const* voice_request_url_base,
                                         Client::Fetch::SslSetup* ssl_setup)
    : client_id_(Copy(client_id)),
      client_key_(Copy(client_key)),
      user_id_(Copy(user_id)),
      text_request_url_base_(Copy(text_request_url_base)),
      voice_request_url_base_(Copy(voice_request_url_base)),
      ssl_setup_(ssl_setup) {}

BrillCloudRequester::~BrillCloudRequester() {
  if (answer_) answer_->release();
  // The key does not outlive the requester in freed memory.
  if (!client_key_.empty()) OPENSSL_cleanse(&client_key_[0], client_key_.size());
}

char const* BrillCloudRequester::default_text_request_url_base() { return "http://127.0.0.1:8390/v1/text"; }

char const* BrillCloudRequester::default_voice_request_url_base() { return "http://127.0.0.1:8390/v1/voice"; }

Client::TextRequest BrillCloudRequester::composeTextRequest(const char* query, const JSONBase* conversation_state,
                                                            const RequestInfoJSON* request_info,
                                                            const JSONObjectValue* extras) const {
  // Identities travel in header fields, where a line break would forge more.
  if (HasLineBreak(client_id_) || HasLineBreak(user_id_)) {
    Brillify::ThrowText("client id or user id holds a line break");
  }
  Client::TextRequest request;
  request.url = text_request_url_base_;
  request.body = RequestBody(query, conversation_state, request_info, extras);
  const std::string timestamp = std::to_string(static_cast<long long>(std::time(nullptr)));
  const std::string signature = Brillify::SignTextRequest(client_key_, client_id_, user_id_, timestamp, request.body);
  request.headers = {
      "Content-Type: application/json",
      "Accept: application/json",
      "Expect:",  // no 100-continue round trip before the body
      std::string(Brillify::kClientIdHeader) + ": " + client_id_,
      std::string(Brillify::kUserIdHeader) + ": " + user_id_,
      std::string(Brillify::kTimestampHeader) + ": " + timestamp,
      std::string(Brillify::kSignatureHeader) + ": " + signature,
  };
  request.timeouts = Brillify::CurrentTimeouts();
  request.ssl_setup = ssl_setup_;
  return request;
}

BrillServerJSON* BrillCloudRequester::textRequest(const char* query, JSONBase* conversation_state,
                                                  RequestInfoJSON* request_info, JSONObjectValue* extras) {
  // One answer at a time: the previous one is no longer the caller's.
  if (answer_) {
    answer_->release();
    answer_ = nullptr;
  }
  const Client::TextRequest request = composeTextRequest(query, conversation_state, request_info, extras);
  if (!connection_) connection_ = std::make_unique<Client::Connection>();
  answer_ = connection_->textRequest(request, nullptr);
  return answer_;
}
