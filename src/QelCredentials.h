// The credentials file's reader: what the cloud requester is made from, as
// the file gives it, with no default applied (the engine applies them and
// logs every refusal). Kept apart from the engine so that the fuzz target
// reads files exactly as the engine does.
//
// Threads: a pure function; any thread.
#ifndef QEL_CREDENTIALS_H
#define QEL_CREDENTIALS_H

#include <cstddef>
#include <string>

namespace TARNWICKSS {

// A credentials file is a few hundred bytes; a larger one than this is not
// one, and is refused rather than read.
constexpr std::size_t kMaxCredentialsFileBytes = 1u << 20;

struct Credentials {
  // Each the string value of the root member of that name, up to its first
  // NUL; empty when the member is absent or not a string. The first of
  // repeated names counts.
  std::string client_id;               // "client-id"
  std::string client_key;              // "client-key"
  std::string user_id;                 // "user-id"
  std::string voice_request_url_base;  // "voice-request-url-base"
  std::string text_request_url_base;   // "text-request-url-base"
};

// Reads a whole credentials file's `content`: UTF-8 JSON (an optional UTF-8
// byte-order mark is skipped; other encodings and invalid sequences, also
// those an escape makes, are refused) whose root is an object followed by
// nothing but white space, at most kMaxCredentialsFileBytes long. False for anything else, `credentials`
// then unspecified.
bool ParseCredentials(const std::string& content, Credentials& credentials);

}  // namespace TARNWICKSS

#endif  // QEL_CREDENTIALS_H
