#include "zrkwebview/browser/src/http-plugins/shell/utf8-stream.h"

#include <cstdint>

namespace zrk::plugin::shell {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

// The length a lead byte announces (0 for a byte that cannot start a character) and the range
// of the byte after it.
struct Lead {
  int length;
  uint8_t low, high;
};

Lead leadOf(uint8_t b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Converts `bytes`; with `holdTail`, an incomplete but so far valid character at the end is left
// in `tail` instead of being replaced.
std::string convert(const std::string& bytes, bool holdTail, std::string& tail) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    const Lead lead = leadOf(b);
    if (lead.length == 1) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (lead.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    int k = 1;
    bool broken = false;
    for (; k < lead.length && i + k < bytes.size(); ++k) {
      const auto c = static_cast<uint8_t>(bytes[i + k]);
      const uint8_t low = k == 1 ? lead.low : 0x80;
      const uint8_t high = k == 1 ? lead.high : 0xBF;
      if (c < low || c > high) {
        broken = true;
        break;
      }
    }
    if (broken) {
      out += kReplacement;  // the maximal valid start counts as one bad character
      i += static_cast<size_t>(k);
    } else if (k < lead.length) {
      if (holdTail) {
        tail = bytes.substr(i);
      } else {
        out += kReplacement;
      }
      break;
    } else {
      out.append(bytes, i, static_cast<size_t>(lead.length));
      i += static_cast<size_t>(lead.length);
    }
  }
  return out;
}

}  // namespace

std::string Utf8Stream::feed(const std::string& bytes) {
  std::string input = std::move(pending_);
  pending_.clear();
  input += bytes;
  return convert(input, true, pending_);
}

std::string Utf8Stream::finish() {
  std::string held = std::move(pending_);
  pending_.clear();
  return held.empty() ? std::string() : std::string(kReplacement);
}

std::string toValidUtf8(const std::string& bytes) {
  std::string unused;
  return convert(bytes, false, unused);
}

}  // namespace zrk::plugin::shell
