// Brillify SDK: URL-safe base64 (RFC 4648 section 5: "-" and "_" in place
// of "+" and "/").
#ifndef BRILLIFY_CLIENT_BASE64_H
#define BRILLIFY_CLIENT_BASE64_H

namespace Client {

// Encodes the three bytes at `in` as exactly four characters at `out` (no
// padding is ever needed, and no terminator is written).
void base64url_encode_three(char* out, const unsigned char* in);

}  // namespace Client

#endif  // BRILLIFY_CLIENT_BASE64_H
