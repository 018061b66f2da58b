#include "brillify/Client/Base64.h"

namespace Client {

void base64url_encode_three(char* out, const unsigned char* in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  out[0] = kAlphabet[in[0] >> 2];
  out[1] = kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
  out[2] = kAlphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)];
  out[3] = kAlphabet[in[2] & 0x3F];
}

}  // namespace Client
