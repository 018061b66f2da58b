#include "service_credentials.h"

#include <openssl/crypto.h>
#include <rapidjson/document.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "brillify/RequestSignature.h"

namespace speech_service {

namespace {
constexpr std::size_t kMaxFileBytes = 65536;

std::string StringMember(const rapidjson::Document& document, const char* name) {
  const auto it = document.FindMember(name);
  if (it == document.MemberEnd() || !it->value.IsString()) return std::string();
  return std::string(it->value.GetString());
}
}  // namespace

bool ServiceCredentials::Load(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open credentials file " + path;
    return false;
  }
  std::string text;
  text.resize(kMaxFileBytes);
  file.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  if (document.HasParseError() || !document.IsObject()) {
    *error = "credentials file " + path + " is not a JSON object";
    return false;
  }
  client_id_ = StringMember(document, "client-id");
  client_key_ = StringMember(document, "client-key");
  if (client_id_.empty() || client_key_.empty()) {
    *error = "credentials file " + path + " lacks client-id or client-key";
    return false;
  }
  return true;
}

bool ServiceCredentials::Verify(const std::string& client_id, const std::string& user_id, const std::string& timestamp,
                                const std::string& signature, const std::string& body, std::time_t now,
                                std::string* error) const {
  if (client_id.empty() || client_id != client_id_) {
    *error = "unknown client [" + client_id + "]";
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long long when = std::strtoll(timestamp.c_str(), &end, 10);
  if (timestamp.empty() || errno != 0 || *end != '\0' || when < static_cast<long long>(now) - kMaxClockSkewSeconds ||
      when > static_cast<long long>(now) + kMaxClockSkewSeconds) {
    *error = "missing or stale timestamp [" + timestamp + "]";
    return false;
  }
  const std::string expected = Brillify::SignTextRequest(client_key_, client_id, user_id, timestamp, body);
  if (signature.size() != expected.size() || CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) != 0) {
    *error = "signature mismatch";
    return false;
  }
  return true;
}

}  // namespace speech_service
