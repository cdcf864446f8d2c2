#include "lib/signing/base64.h"

namespace kelv {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PAD = '=';

}  // namespace

int base64EncodedLength(int n) { return (n + 2) / 3 * 4 + 1; }

int base64Encode(char* out, const unsigned char* in, int n) {
  char* p = out;
  int i = 0;
  for (; n - i >= 3; i += 3) {
    const unsigned a = in[i], b = in[i + 1], c = in[i + 2];
    *p++ = ALPHABET[a >> 2];
    *p++ = ALPHABET[((a & 3) << 4) | (b >> 4)];
    *p++ = ALPHABET[((b & 15) << 2) | (c >> 6)];
    *p++ = ALPHABET[c & 63];
  }
  if (n - i == 1) {
    const unsigned a = in[i];
    *p++ = ALPHABET[a >> 2];
    *p++ = ALPHABET[(a & 3) << 4];
    *p++ = PAD;
    *p++ = PAD;
  } else if (n - i == 2) {
    const unsigned a = in[i], b = in[i + 1];
    *p++ = ALPHABET[a >> 2];
    *p++ = ALPHABET[((a & 3) << 4) | (b >> 4)];
    *p++ = ALPHABET[(b & 15) << 2];
    *p++ = PAD;
  }
  *p++ = '\0';
  return static_cast<int>(p - out);
}

}  // namespace kelv
