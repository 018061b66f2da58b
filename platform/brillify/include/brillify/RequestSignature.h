// Brillify SDK: how a text request proves who sent it.
//
// The client key never travels. Each request carries the client id, the
// user id and a timestamp (Unix seconds) in the headers below, and a
// signature: the lower-case hex HMAC-SHA256, under the client key, of
//
//   "BRILL1\n" client-id "\n" user-id "\n" timestamp "\n" hex(SHA-256(body))
//
// The service recomputes it with the key it holds for that client id and
// refuses a request whose signature differs or whose timestamp is too far
// from its own clock, so a captured request cannot be replayed later.
#ifndef BRILLIFY_REQUEST_SIGNATURE_H
#define BRILLIFY_REQUEST_SIGNATURE_H

#include <string>

namespace Brillify {

constexpr const char* kClientIdHeader = "X-Brill-Client-Id";
constexpr const char* kUserIdHeader = "X-Brill-User-Id";
constexpr const char* kTimestampHeader = "X-Brill-Timestamp";
constexpr const char* kSignatureHeader = "X-Brill-Signature";

// The signature of one request, 64 hex digits.
std::string SignTextRequest(const std::string& client_key, const std::string& client_id, const std::string& user_id,
                            const std::string& timestamp, const std::string& body);

}  // namespace Brillify

#endif  // BRILLIFY_REQUEST_SIGNATURE_H
