#include "brillify/RequestSignature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace Brillify {

namespace {

std::string Hex(const unsigned char* bytes, unsigned length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(2 * length, '0');
  for (unsigned i = 0; i < length; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

std::string SignTextRequest(const std::string& client_key, const std::string& client_id, const std::string& user_id,
                            const std::string& timestamp, const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(body.data(), body.size(), digest, &length, EVP_sha256(), nullptr);
  const std::string canonical = "BRILL1\n" + client_id + "\n" + user_id + "\n" + timestamp + "\n" + Hex(digest, length);
  HMAC(EVP_sha256(), client_key.data(), static_cast<int>(client_key.size()),
       reinterpret_cast<const unsigned char*>(canonical.data()), canonical.size(), digest, &length);
  return Hex(digest, length);
}

}  // namespace Brillify
