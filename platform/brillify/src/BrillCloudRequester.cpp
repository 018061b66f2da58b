#include "brillify/BrillCloudRequester.h"

#include <openssl/crypto.h>

#include <ctime>

#include "Error.h"
#include "JSONWriter.h"
#include "Transfer.h"
#include "brillify/RequestSignature.h"

namespace {

// Inline audio makes answers large; anything beyond this is not an answer.
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

std::string Copy(char const* s) { return s ? std::string(s) : std::string(); }

// A buffer kept across requests stays no larger than this once an answer
// has been handled.
constexpr std::size_t kKeptAnswerBytes = 4u << 20;

struct Answer {
  std::string& body;
  bool too_large = false;
};

std::size_t OnAnswer(char* data, std::size_t size, std::size_t count, void* user) {
  auto& answer = *static_cast<Answer*>(user);
  const std::size_t bytes = size * count;
  if (answer.body.size() + bytes > kMaxAnswerBytes) {
    answer.too_large = true;
    return 0;
  }
  answer.body.append(data, bytes);
  return bytes;
}

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

BrillServerJSON* BrillCloudRequester::textRequest(const char* query, JSONBase* conversation_state,
                                                  RequestInfoJSON* request_info, JSONObjectValue* extras) {
  // One answer at a time: the previous one is no longer the caller's.
  if (answer_) {
    answer_->release();
    answer_ = nullptr;
  }
  // Identities travel in header fields, where a line break would forge more.
  if (HasLineBreak(client_id_) || HasLineBreak(user_id_)) {
    Brillify::ThrowText("client id or user id holds a line break");
  }

  const std::string body = RequestBody(query, conversation_state, request_info, extras);
  const std::string timestamp = std::to_string(static_cast<long long>(std::time(nullptr)));
  const std::string signature = Brillify::SignTextRequest(client_key_, client_id_, user_id_, timestamp, body);

  if (!transfer_) transfer_ = std::make_unique<Brillify::Transfer>();
  Brillify::Transfer& transfer = *transfer_;
  transfer.Prepare(text_request_url_base_, ssl_setup_, Brillify::CurrentTimeouts());

  struct curl_slist* headers = nullptr;
  const std::string fields[] = {
      "Content-Type: application/json",
      "Accept: application/json",
      "Expect:",  // no 100-continue round trip before the body
      std::string(Brillify::kClientIdHeader) + ": " + client_id_,
      std::string(Brillify::kUserIdHeader) + ": " + user_id_,
      std::string(Brillify::kTimestampHeader) + ": " + timestamp,
      std::string(Brillify::kSignatureHeader) + ": " + signature,
  };
  for (const std::string& field : fields) headers = curl_slist_append(headers, field.c_str());

  answer_body_.clear();
  Answer answer{answer_body_};
  CURL* curl = transfer.handle();
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnAnswer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const CURLcode code = transfer.Perform();
  long http_status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
  // The options point at this frame's data; none may outlive it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);

  if (answer.too_large) {
    Brillify::ThrowText("text request answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes [" +
                        text_request_url_base_ + "]");
  }
  if (code != CURLE_OK) Brillify::ThrowText(transfer.Describe("text request", code));
  // An error page may look like an answer (a proxy's, or a service's own
  // JSON with audio in it): whatever the body, only a 2xx answers.
  if (http_status < 200 || http_status > 299) {
    Brillify::ThrowText("text request answered HTTP " + std::to_string(http_status) + " [" + text_request_url_base_ +
                        "]");
  }
  answer_ = BrillServerJSON::parse(answer.body.data(), answer.body.size());
  const std::size_t received = answer.body.size();
  if (answer_body_.capacity() > kKeptAnswerBytes) std::string().swap(answer_body_);
  if (!answer_) {
    Brillify::ThrowText("unparsable text request answer (HTTP " + std::to_string(http_status) + ", " +
                        std::to_string(received) + " bytes) [" + text_request_url_base_ + "]");
  }
  return answer_;
}
