#include "desk/detail/registry_file.h"

#include "desk/detail/codec.h"

#include <array>
#include <cstring>

namespace desk::detail {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendJsonString(std::string& out, std::string_view s) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

bool isText(uint32_t type) { return type == 1 || type == 2 || type == 7; }

// Text values are written as text when their UTF-16 is well formed (so UTF-8 carries it exactly).
bool asText(const std::string& bytes, std::string& out) {
  if (bytes.size() % 2) return false;
  std::u16string wide(bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), bytes.data(), bytes.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  out = utf16ToUtf8(wide);
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  RegStore document() {
    RegStore store;
    bool sawKeys = false;
    expect('{');
    if (!take('}')) {
      do {
        const std::string member = string();
        expect(':');
        if (member == "keys") {
          sawKeys = true;
          keys(store);
        } else if (member == "version") {
          if (number() != 1) fail("unknown version");
        } else {
          skipValue(0);
        }
      } while (take(','));
      expect('}');
    }
    space();
    if (i_ != s_.size()) fail("text after the document");
    if (!sawKeys) fail("no keys");
    return store;
  }

 private:
  void keys(RegStore& store) {
    expect('{');
    if (take('}')) return;
    do {
      RegKey key;
      key.path = string();
      expect(':');
      expect('{');
      if (!take('}')) {
        do {
          RegValue value;
          value.name = string();
          expect(':');
          expect('[');
          const uint64_t type = number();
          if (type > 0xFFFFFFFFu) fail("bad type");
          value.type = static_cast<uint32_t>(type);
          expect(',');
          space();
          if (i_ + 3 < s_.size() && s_.compare(i_, 3, "\"s\"") == 0) {
            // Text: UTF-8 here, UTF-16 in the value.
            i_ += 3;
            expect(',');
            value.bytes = utf16Bytes(string());
          } else {
            value.bytes = hexString();
          }
          expect(']');
          key.values[foldName(value.name)] = std::move(value);
        } while (take(','));
        expect('}');
      }
      store[foldName(key.path)] = std::move(key);
    } while (take(','));
    expect('}');
  }

  // A string of hexadecimal digits, decoded straight from the text.
  std::string hexString() {
    static const auto table = [] {
      std::array<int8_t, 256> t;
      t.fill(-1);
      for (int c = 0; c < 256; ++c) t[c] = static_cast<int8_t>(digit(static_cast<char>(c)));
      return t;
    }();
    expect('"');
    const size_t end = s_.find('"', i_);
    if (end == std::string_view::npos) fail("unterminated string");
    const size_t n = end - i_;
    if (n % 2) fail("odd hexadecimal");
    std::string out(n / 2, '\0');
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data() + i_);
    for (size_t k = 0; k < out.size(); ++k) {
      const int hi = table[p[2 * k]];
      const int lo = table[p[2 * k + 1]];
      if ((hi | lo) < 0) fail("bad hexadecimal");
      out[k] = static_cast<char>(hi * 16 + lo);
    }
    i_ = end + 1;
    return out;
  }

  static std::string utf16Bytes(const std::string& utf8) {
    std::u16string wide = utf8ToUtf16(utf8);
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  }

  static int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) {
      ++i_;
    }
  }

  bool take(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!take(c)) fail("unexpected character");
  }

  uint64_t number() {
    space();
    const size_t start = i_;
    uint64_t v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
      if (v > (UINT64_MAX - 9) / 10) fail("number too large");
      v = v * 10 + static_cast<uint64_t>(s_[i_] - '0');
      ++i_;
    }
    if (i_ == start) fail("number expected");
    if (i_ - start > 1 && s_[start] == '0') fail("leading zero");
    return v;
  }

  unsigned hex4() {
    if (i_ + 4 > s_.size()) fail("short escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = digit(s_[i_++]);
      if (d < 0) fail("bad escape");
      v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
  }

  static void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      // Copy the plain run in one go: the common case.
      const size_t start = i_;
      while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\\' &&
             static_cast<unsigned char>(s_[i_]) >= 0x20) {
        ++i_;
      }
      out.append(s_.substr(start, i_ - start));
      if (i_ >= s_.size()) fail("unterminated string");
      const char c = s_[i_++];
      if (c == '"') break;
      if (c != '\\') fail("control character in string");
      if (i_ >= s_.size()) fail("unterminated string");
      const char e = s_[i_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF && i_ + 1 < s_.size() && s_[i_] == '\\' &&
              s_[i_ + 1] == 'u') {
            const size_t back = i_;
            i_ += 2;
            const uint32_t lo = hex4();
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else {
              i_ = back;
            }
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
          appendUtf8(out, cp);
          break;
        }
        default: fail("bad escape");
      }
    }
    return out;
  }

  void skipValue(int depth) {
    if (depth > 64) fail("too deep");
    space();
    if (i_ >= s_.size()) fail("value expected");
    const char c = s_[i_];
    if (c == '"') {
      string();
    } else if (c == '{') {
      ++i_;
      if (take('}')) return;
      do {
        string();
        expect(':');
        skipValue(depth + 1);
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++i_;
      if (take(']')) return;
      do skipValue(depth + 1);
      while (take(','));
      expect(']');
    } else if (s_.substr(i_, 4) == "true" || s_.substr(i_, 4) == "null") {
      i_ += 4;
    } else if (s_.substr(i_, 5) == "false") {
      i_ += 5;
    } else {
      // A number: its characters, checked loosely (unknown members only).
      const size_t start = i_;
      while (i_ < s_.size() && std::strchr("+-0123456789.eE", s_[i_]) != nullptr) ++i_;
      if (i_ == start) fail("value expected");
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::string foldName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string writeRegistryDocument(const RegStore& store) {
  size_t estimate = 64;
  for (const auto& [folded, key] : store) {
    estimate += key.path.size() + 8;
    for (const auto& [n, value] : key.values) estimate += value.name.size() + value.bytes.size() * 2 + 24;
  }
  std::string out;
  out.reserve(estimate);
  out += "{\"format\":\"pelmora-registry\",\"version\":1,\"keys\":{";
  bool firstKey = true;
  for (const auto& [folded, key] : store) {
    if (!firstKey) out.push_back(',');
    firstKey = false;
    out += "\n";
    appendJsonString(out, key.path);
    out += ":{";
    bool firstValue = true;
    for (const auto& [n, value] : key.values) {
      if (!firstValue) out.push_back(',');
      firstValue = false;
      appendJsonString(out, value.name);
      out += ":[";
      out += std::to_string(value.type);
      std::string text;
      if (isText(value.type) && asText(value.bytes, text)) {
        out += ",\"s\",";
        appendJsonString(out, text);
        out += "]";
      } else {
        out += ",\"";
        for (unsigned char b : value.bytes) {
          out.push_back(kHex[b >> 4]);
          out.push_back(kHex[b & 15]);
        }
        out += "\"]";
      }
    }
    out.push_back('}');
  }
  out += "\n}}\n";
  return out;
}

RegStore readRegistryDocument(std::string_view text) { return Reader(text).document(); }

}  // namespace desk::detail
