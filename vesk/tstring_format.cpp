// The directive engine behind TString::format: printf directives with the wide-text meanings of
// the object library ("%s" is UTF-16 text, "%S" UTF-8 text). Numbers go through snprintf one
// directive at a time.
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "vesk/tstring.h"
#include "vesk/utf.h"

namespace Vesk {

namespace {

enum class Length { None, hh, h, l, ll, L, z, j, t, I64, I32 };

void appendAscii(WString& out, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(text[i]));
}

// Formats one numeric directive through the C library. spec holds flags, width and precision
// already resolved (no '*'), conv the conversion letter.
template <typename T>
bool appendNumber(WString& out, const std::string& spec, const char* lengthText, char conv, T value) {
  std::string fmt = "%" + spec + lengthText + conv;
  char small[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(small, sizeof small, fmt.c_str(), value);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof small) {
    appendAscii(out, small, static_cast<size_t>(n));
    return true;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), fmt.c_str(), value);
#pragma GCC diagnostic pop
  appendAscii(out, big.data(), static_cast<size_t>(n));
  return true;
}

void appendPadded(WString& out, std::u16string_view text, bool leftAlign, int width) {
  size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? static_cast<size_t>(width) - text.size() : 0;
  if (!leftAlign) out.append(pad, u' ');
  out.append(text);
  if (leftAlign) out.append(pad, u' ');
}

std::optional<WString> formatDirectives(const WChar* format, va_list args) {
  if (format == nullptr) return std::nullopt;
  WString out;
  for (const WChar* p = format; *p != 0;) {
    if (*p != u'%') {
      out.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.push_back(u'%');
      ++p;
      continue;
    }
    // Flags.
    std::string flags;
    bool leftAlign = false;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
      if (*p == u'-') leftAlign = true;
      flags.push_back(static_cast<char>(*p++));
    }
    // Width.
    int width = -1;
    if (*p == u'*') {
      width = va_arg(args, int);
      if (width < 0) {
        leftAlign = true;
        flags.push_back('-');
        width = -width;
      }
      ++p;
    } else if (*p >= u'0' && *p <= u'9') {
      width = 0;
      while (*p >= u'0' && *p <= u'9') {
        width = width * 10 + (*p++ - u'0');
        if (width > 1000000) return std::nullopt;
      }
    }
    // Precision.
    int precision = -1;
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') {
          precision = precision * 10 + (*p++ - u'0');
          if (precision > 1000000) return std::nullopt;
        }
      }
    }
    // Length.
    Length length = Length::None;
    bool forceNarrow = false, forceWide = false;
    switch (*p) {
      case u'h':
        ++p;
        if (*p == u'h') {
          ++p;
          length = Length::hh;
        } else {
          length = Length::h;
          forceNarrow = true;
        }
        break;
      case u'l':
        ++p;
        if (*p == u'l') {
          ++p;
          length = Length::ll;
        } else {
          length = Length::l;
          forceWide = true;
        }
        break;
      case u'w':
        ++p;
        forceWide = true;
        break;
      case u'L':
        ++p;
        length = Length::L;
        break;
      case u'z':
        ++p;
        length = Length::z;
        break;
      case u'j':
        ++p;
        length = Length::j;
        break;
      case u't':
        ++p;
        length = Length::t;
        break;
      case u'I':
        if (p[1] == u'6' && p[2] == u'4') {
          p += 3;
          length = Length::I64;
        } else if (p[1] == u'3' && p[2] == u'2') {
          p += 3;
          length = Length::I32;
        } else {
          ++p;
          length = Length::z;
        }
        break;
      default:
        break;
    }

    std::string spec = flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) {
      spec += '.';
      spec += std::to_string(precision);
    }

    const WChar conv = *p;
    if (conv == 0) return std::nullopt;
    ++p;
    switch (conv) {
      case u'd':
      case u'i':
        switch (length) {
          case Length::hh: if (!appendNumber(out, spec, "hh", 'd', static_cast<signed char>(va_arg(args, int)))) return std::nullopt; break;
          case Length::h: if (!appendNumber(out, spec, "h", 'd', static_cast<short>(va_arg(args, int)))) return std::nullopt; break;
          case Length::l: case Length::I32: case Length::None:
            // A "long" of the wide formats is 32 bits.
            if (!appendNumber(out, spec, "", 'd', va_arg(args, int))) return std::nullopt;
            break;
          case Length::ll: case Length::I64: case Length::j:
            if (!appendNumber(out, spec, "ll", 'd', va_arg(args, long long))) return std::nullopt;
            break;
          case Length::z: case Length::t:
            if (!appendNumber(out, spec, "t", 'd', va_arg(args, ptrdiff_t))) return std::nullopt;
            break;
          case Length::L: return std::nullopt;
        }
        break;
      case u'u':
      case u'o':
      case u'x':
      case u'X': {
        const char c = static_cast<char>(conv);
        switch (length) {
          case Length::hh: if (!appendNumber(out, spec, "hh", c, static_cast<unsigned char>(va_arg(args, unsigned)))) return std::nullopt; break;
          case Length::h: if (!appendNumber(out, spec, "h", c, static_cast<unsigned short>(va_arg(args, unsigned)))) return std::nullopt; break;
          case Length::l: case Length::I32: case Length::None:
            if (!appendNumber(out, spec, "", c, va_arg(args, unsigned))) return std::nullopt;
            break;
          case Length::ll: case Length::I64: case Length::j:
            if (!appendNumber(out, spec, "ll", c, va_arg(args, unsigned long long))) return std::nullopt;
            break;
          case Length::z: case Length::t:
            if (!appendNumber(out, spec, "z", c, va_arg(args, size_t))) return std::nullopt;
            break;
          case Length::L: return std::nullopt;
        }
        break;
      }
      case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'a': case u'A': {
        const char c = static_cast<char>(conv);
        bool ok = length == Length::L ? appendNumber(out, spec, "L", c, va_arg(args, long double))
                                      : appendNumber(out, spec, "", c, va_arg(args, double));
        if (!ok) return std::nullopt;
        break;
      }
      case u'p':
        if (!appendNumber(out, spec, "", 'p', va_arg(args, void*))) return std::nullopt;
        break;
      case u'c':
      case u'C': {
        bool wide = conv == u'c' ? !forceNarrow : forceWide;
        WChar unit = wide ? static_cast<WChar>(va_arg(args, int)) : static_cast<WChar>(static_cast<unsigned char>(va_arg(args, int)));
        appendPadded(out, std::u16string_view(&unit, 1), leftAlign, width);
        break;
      }
      case u's':
      case u'S': {
        bool wide = conv == u's' ? !forceNarrow : forceWide;
        WString text;
        if (wide) {
          const WChar* s = va_arg(args, const WChar*);
          text = s ? WString(s) : WString(u"(null)");
        } else {
          const char* s = va_arg(args, const char*);
          text = s ? utf::fromUtf8(s) : WString(u"(null)");
        }
        std::u16string_view view(text);
        if (precision >= 0 && static_cast<size_t>(precision) < view.size()) view = view.substr(0, static_cast<size_t>(precision));
        appendPadded(out, view, leftAlign, width);
        break;
      }
      default:
        // "%n" and anything unknown cannot be applied.
        return std::nullopt;
    }
  }
  return out;
}

}  // namespace

int TString::format(const WChar* format, ...) {
  va_list args;
  va_start(args, format);
  std::optional<WString> result = formatDirectives(format, args);
  va_end(args);
  if (!result) {
    text_.clear();
    return -1;
  }
  text_ = std::move(*result);
  return static_cast<int>(text_.size());
}

int TString::formatShort(const WChar* format, ...) {
  constexpr size_t kLimit = 63;
  va_list args;
  va_start(args, format);
  std::optional<WString> result = formatDirectives(format, args);
  va_end(args);
  if (!result) {
    text_.clear();
    return -1;
  }
  if (result->size() > kLimit) {
    text_ = result->substr(0, kLimit);
    return -1;
  }
  text_ = std::move(*result);
  return static_cast<int>(text_.size());
}

}  // namespace Vesk
