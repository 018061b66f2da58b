// Brillify SDK: the cloud requester.
//
// One requester holds a client's identity and the two service base URLs and
// sends that client's requests. The caller owns it and deletes it through
// the virtual destructor; it is used from one thread at a time. It keeps one
// connection to the service open between requests.
#ifndef BRILLIFY_BRILL_CLOUD_REQUESTER_H
#define BRILLIFY_BRILL_CLOUD_REQUESTER_H

#include <memory>
#include <string>

#include "brillify/BrillServerJSON.h"
#include "brillify/Client/Fetch.h"
#include "brillify/JSONValues.h"
#include "brillify/RequestInfoJSON.h"

namespace Brillify {
class Transfer;
}  // namespace Brillify

class BrillCloudRequester {
 public:
  // Copies every string; ssl_setup may be null (the SDK's TLS defaults) and
  // must otherwise outlive the requester. Never fails: a bad value shows up
  // as a failed request.
  BrillCloudRequester(char const* client_id, char const* client_key, char const* user_id,
                      char const* text_request_url_base, char const* voice_request_url_base,
                      Client::Fetch::SslSetup* ssl_setup);
  virtual ~BrillCloudRequester();

  BrillCloudRequester(const BrillCloudRequester&) = delete;
  BrillCloudRequester& operator=(const BrillCloudRequester&) = delete;

  // Base URLs used when a client gives none (NUL-terminated, static).
  static char const* default_text_request_url_base();
  static char const* default_voice_request_url_base();

  // Sends `query` with the request information to the text request URL,
  // signed (brillify/RequestSignature.h), and returns the service's answer,
  // whatever the status inside it. The body is a JSON object: "Query", "RequestInfo",
  // and "ConversationState" and "Extras" when those are given (any of the
  // last three may be null).
  //
  // The answer belongs to the requester: it stays valid until the next text
  // request or the requester's destruction; retain() it to keep it longer.
  // Throws the SDK's text (a const char*) on a transport error, a time-out
  // (brillify/Timeouts.h), an HTTP status other than 2xx (whatever the body)
  // or an answer that is not a JSON object.
  virtual BrillServerJSON* textRequest(const char* query, JSONBase* conversation_state, RequestInfoJSON* request_info,
                                       JSONObjectValue* extras);

  const std::string& client_id() const { return client_id_; }
  const std::string& user_id() const { return user_id_; }
  const std::string& text_request_url_base() const { return text_request_url_base_; }
  const std::string& voice_request_url_base() const { return voice_request_url_base_; }

 protected:
  // The key signs requests; it is never sent, logged or exposed.
  const std::string& client_key() const { return client_key_; }

 private:
  std::string client_id_;
  std::string client_key_;
  std::string user_id_;
  std::string text_request_url_base_;
  std::string voice_request_url_base_;
  Client::Fetch::SslSetup* ssl_setup_;
  std::unique_ptr<Brillify::Transfer> transfer_;  // the kept connection
  BrillServerJSON* answer_ = nullptr;             // the last answer, one reference
  // The answer's bytes as they arrive, kept from one request to the next:
  // answers with inline audio are hundreds of kilobytes, and allocating
  // and freeing that much per request makes malloc hand the memory back to
  // the system and fault it in again every time.
  std::string answer_body_;
};

#endif  // BRILLIFY_BRILL_CLOUD_REQUESTER_H
