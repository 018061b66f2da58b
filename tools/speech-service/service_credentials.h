// The one client the speech service accepts, read from a credentials file of
// the plugin's form (a JSON object with "client-id" and "client-key";
// other members ignored), and the check of a request's signature against it.
#ifndef SPEECH_SERVICE_SERVICE_CREDENTIALS_H
#define SPEECH_SERVICE_SERVICE_CREDENTIALS_H

#include <ctime>
#include <string>

namespace speech_service {

// How far a request's timestamp may be from the service's clock.
constexpr long kMaxClockSkewSeconds = 300;

class ServiceCredentials {
 public:
  // False, with `error` set, when the file cannot be read, is not a JSON
  // object, or lacks a non-empty string client id or key.
  bool Load(const std::string& path, std::string* error);

  // Checks a text request's identity headers and signature over `body`.
  // False, with `error` saying why (never with the key), when the client is
  // unknown, the timestamp is missing or too far from `now`, or the
  // signature does not match.
  bool Verify(const std::string& client_id, const std::string& user_id, const std::string& timestamp,
              const std::string& signature, const std::string& body, std::time_t now, std::string* error) const;

  const std::string& client_id() const { return client_id_; }

 private:
  std::string client_id_;
  std::string client_key_;
};

}  // namespace speech_service

#endif  // SPEECH_SERVICE_SERVICE_CREDENTIALS_H
