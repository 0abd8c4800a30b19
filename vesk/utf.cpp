#include "vesk/utf.h"

#include <cstdint>
#include <cstring>

namespace Vesk::utf {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

inline bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Copies a run of ASCII bytes eight at a time; returns the number copied.
inline size_t copyAscii(const unsigned char* in, size_t n, char16_t* out) {
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, in + i, 8);
    if (word & 0x8080808080808080ULL) break;
    for (int k = 0; k < 8; ++k) out[i + k] = in[i + k];
    i += 8;
  }
  while (i < n && in[i] < 0x80) {
    out[i] = in[i];
    ++i;
  }
  return i;
}

inline uint64_t loadUnits(const char16_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

}  // namespace

bool utf8ToUtf16(std::string_view input, WString& out, Policy policy) {
  const auto* in = reinterpret_cast<const unsigned char*>(input.data());
  const size_t n = input.size();
  out.resize(n);  // never more units than bytes
  char16_t* o = out.data();
  size_t w = 0;
  size_t i = 0;
  while (i < n) {
    if (in[i] < 0x80) {
      size_t run = copyAscii(in + i, n - i, o + w);
      i += run;
      w += run;
      continue;
    }
    const unsigned char lead = in[i];
    // The accepted range of the second byte and the number of continuation bytes.
    unsigned char lo = 0x80, hi = 0xBF;
    int need;
    uint32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      if (policy == Policy::Strict) {
        out.clear();
        return false;
      }
      o[w++] = kReplacement;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      unsigned char b = in[j];
      if (k == 0 ? (b < lo || b > hi) : !isContinuation(b)) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      if (policy == Policy::Strict) {
        out.clear();
        return false;
      }
      // One replacement for the lead and the valid continuation bytes that followed it; the
      // offending byte starts the next round.
      o[w++] = kReplacement;
      i = j;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      o[w++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      o[w++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      o[w++] = static_cast<char16_t>(cp);
    }
    i = j;
  }
  out.resize(w);
  return true;
}

bool utf16ToUtf8(std::u16string_view input, std::string& out, Policy policy) {
  const char16_t* in = input.data();
  const size_t n = input.size();
  // Measure first, so that the output is written once into a string of the exact size.
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    // Four ASCII units at a time.
    while (i + 4 <= n && !(loadUnits(in + i) & 0xFF80FF80FF80FF80ULL)) {
      bytes += 4;
      i += 4;
    }
    if (i >= n) break;
    char16_t u = in[i];
    if (u < 0x80) {
      bytes += 1;
    } else if (u < 0x800) {
      bytes += 2;
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      bytes += 4;
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if (policy == Policy::Strict) {
        out.clear();
        return false;
      }
      bytes += 3;  // U+FFFD
    } else {
      bytes += 3;
    }
  }
  out.resize(bytes);
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  size_t w = 0;
  for (size_t i = 0; i < n; ++i) {
    while (i + 4 <= n && !(loadUnits(in + i) & 0xFF80FF80FF80FF80ULL)) {
      o[w] = static_cast<unsigned char>(in[i]);
      o[w + 1] = static_cast<unsigned char>(in[i + 1]);
      o[w + 2] = static_cast<unsigned char>(in[i + 2]);
      o[w + 3] = static_cast<unsigned char>(in[i + 3]);
      w += 4;
      i += 4;
    }
    if (i >= n) break;
    uint32_t u = in[i];
    if (u < 0x80) {
      o[w++] = static_cast<unsigned char>(u);
      continue;
    }
    if (u < 0x800) {
      o[w++] = static_cast<unsigned char>(0xC0 | (u >> 6));
      o[w++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      if (u <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00);
        ++i;
        o[w++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        o[w++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        o[w++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        o[w++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        continue;
      }
      u = kReplacement;
    }
    o[w++] = static_cast<unsigned char>(0xE0 | (u >> 12));
    o[w++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    o[w++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
  }
  return true;
}

WString fromUtf8(std::string_view in) {
  WString out;
  utf8ToUtf16(in, out, Policy::Replace);
  return out;
}

std::string toUtf8(std::u16string_view in) {
  std::string out;
  utf16ToUtf8(in, out, Policy::Replace);
  return out;
}

}  // namespace Vesk::utf
