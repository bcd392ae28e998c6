#include "b64.h"

#include <cstddef>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, or -1 for anything outside the alphabet.
int DecodeChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int b64_encoded_length(int inLen) {
  if (inLen <= 0) return 0;
  return (inLen / 3 + (inLen % 3 != 0)) * 4;
}

void b64_encode(const char* in, int inLen, char* out, int* outLen) {
  int n = 0;
  if (in != nullptr && out != nullptr && inLen > 0) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    int i = 0;
    for (; i + 3 <= inLen; i += 3) {
      unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
      out[n++] = kAlphabet[(v >> 18) & 63];
      out[n++] = kAlphabet[(v >> 12) & 63];
      out[n++] = kAlphabet[(v >> 6) & 63];
      out[n++] = kAlphabet[v & 63];
    }
    int rest = inLen - i;
    if (rest > 0) {
      unsigned v = p[i] << 16;
      if (rest == 2) v |= p[i + 1] << 8;
      out[n++] = kAlphabet[(v >> 18) & 63];
      out[n++] = kAlphabet[(v >> 12) & 63];
      out[n++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
      out[n++] = '=';
    }
  }
  if (outLen != nullptr) *outLen = n;
}

void b64_decode(const char* in, int inLen, char* out, int* outLen) {
  int n = 0;
  if (in != nullptr && out != nullptr && inLen > 0) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    unsigned acc = 0;
    int bits = 0;
    for (int i = 0; i < inLen; ++i) {
      int v = DecodeChar(p[i]);
      if (v < 0) break;
      acc = (acc << 6) | static_cast<unsigned>(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out[n++] = static_cast<char>((acc >> bits) & 0xFF);
      }
    }
  }
  if (outLen != nullptr) *outLen = n;
}
