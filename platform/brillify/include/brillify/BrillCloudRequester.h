// Brillify SDK: the cloud requester.
//
// One requester holds a client's identity and the two service base URLs and
// sends that client's requests. The caller owns it and deletes it through
// the virtual destructor; it is used from one thread at a time.
#ifndef BRILLIFY_BRILL_CLOUD_REQUESTER_H
#define BRILLIFY_BRILL_CLOUD_REQUESTER_H

#include <string>

namespace Client {
class Fetch {
 public:
  // TLS options of an HTTP fetch; null means the SDK's defaults.
  class SslSetup;
};
}  // namespace Client

class BrillCloudRequester {
 public:
  // Copies every string; ssl_setup may be null. Never fails: a bad value
  // shows up as a failed request.
  BrillCloudRequester(char const* client_id, char const* client_key, char const* user_id,
                      char const* text_request_url_base, char const* voice_request_url_base,
                      Client::Fetch::SslSetup* ssl_setup);
  virtual ~BrillCloudRequester();

  BrillCloudRequester(const BrillCloudRequester&) = delete;
  BrillCloudRequester& operator=(const BrillCloudRequester&) = delete;

  // Base URLs used when a client gives none (NUL-terminated, static).
  static char const* default_text_request_url_base();
  static char const* default_voice_request_url_base();

  const std::string& client_id() const { return client_id_; }
  const std::string& user_id() const { return user_id_; }
  const std::string& text_request_url_base() const { return text_request_url_base_; }
  const std::string& voice_request_url_base() const { return voice_request_url_base_; }

 protected:
  // The key signs requests; it is never logged or exposed.
  const std::string& client_key() const { return client_key_; }

 private:
  std::string client_id_;
  std::string client_key_;
  std::string user_id_;
  std::string text_request_url_base_;
  std::string voice_request_url_base_;
  Client::Fetch::SslSetup* ssl_setup_;
};

#endif  // BRILLIFY_BRILL_CLOUD_REQUESTER_H
