#include "desk/web/base64.h"

#include <array>
#include <cstdint>

namespace desk::web {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::array<int8_t, 256> makeReverse() {
  std::array<int8_t, 256> r{};
  r.fill(-1);
  for (int i = 0; i < 64; ++i) r[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return r;
}
}  // namespace

std::string base64Encode(const std::string& bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t(in[i]) << 16;
    if (i + 1 < n) v |= uint32_t(in[i + 1]) << 8;
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

std::string base64Decode(const std::string& text) {
  static const std::array<int8_t, 256> reverse = makeReverse();
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : text) {
    if (c == '=') break;
    int v = reverse[c];
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return out;
}

}  // namespace desk::web
