// The codec under both policies.
#include <gtest/gtest.h>

#include <string>

#include "vesk/strings.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"

using Vesk::WString;
using namespace std::string_literals;

namespace {

struct DecodeCase {
  const char* what;
  std::string bytes;
  WString replaced;  // the replace policy's result
  bool valid;        // strict succeeds (and then gives `replaced`)
};

const DecodeCase kDecodeCases[] = {
    {"ascii", "abc", u"abc", true},
    {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u00E9\u20AC\U0001F600", true},
    {"embedded NUL", "a\0b"s, u"a\0b"s, true},
    {"lone 0xFF", "\xFF", u"\uFFFD", false},
    {"lone continuation", "a\x80" "b", u"a\uFFFDb", false},
    {"truncated at end", "ab\xC3", u"ab\uFFFD", false},
    {"truncated three-byte then ascii", "\xE2\x82z", u"\uFFFDz", false},
    {"overlong two-byte", "\xC0\xAF", u"\uFFFD\uFFFD", false},
    {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false},
    {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
    {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
    {"bad lead F5", "\xF5\x80", u"\uFFFD\uFFFD", false},
    {"four-byte cut by ascii", "\xF0\x9F\x98" "A", u"\uFFFD" "A", false},
};

TEST(Utf, DecodeTable) {
  for (const auto& c : kDecodeCases) {
    SCOPED_TRACE(c.what);
    WString replaced;
    EXPECT_TRUE(Vesk::utf::utf8ToUtf16(c.bytes, replaced, Vesk::utf::Policy::Replace));
    EXPECT_EQ(replaced, c.replaced);
    WString strict = u"stale";
    EXPECT_EQ(Vesk::utf::utf8ToUtf16(c.bytes, strict, Vesk::utf::Policy::Strict), c.valid);
    EXPECT_EQ(strict, c.valid ? c.replaced : WString());
    // The strict helper gives nothing at all for invalid input, never a partial text.
    EXPECT_EQ(zrk::toUtf16(c.bytes), c.valid ? c.replaced : WString());
  }
}

struct EncodeCase {
  const char* what;
  WString units;
  std::string replaced;
  bool valid;
};

const EncodeCase kEncodeCases[] = {
    {"ascii", u"abc", "abc", true},
    {"BMP and pair", u"\u00E9\u20AC\U0001F600", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
    {"embedded NUL", u"a\0b"s, "a\0b"s, true},
    {"lone high surrogate", u"\xD800", "\xEF\xBF\xBD", false},
    {"lone low surrogate", u"x\xDC00y", "x\xEF\xBF\xBDy", false},
    {"high then non-low", u"\xD83D" "a", "\xEF\xBF\xBD" "a", false},
    {"reversed pair", u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD", false},
};

TEST(Utf, EncodeTable) {
  for (const auto& c : kEncodeCases) {
    SCOPED_TRACE(c.what);
    std::string replaced;
    EXPECT_TRUE(Vesk::utf::utf16ToUtf8(c.units, replaced, Vesk::utf::Policy::Replace));
    EXPECT_EQ(replaced, c.replaced);
    EXPECT_EQ(zrk::toUtf8(c.units), c.valid ? c.replaced : std::string());
  }
}

TEST(Utf, RoundTripOfEveryScalarValue) {
  std::string utf8;
  WString utf16;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      utf16.push_back(static_cast<char16_t>(cp));
    } else {
      utf16.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      utf16.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  ASSERT_TRUE(Vesk::utf::utf16ToUtf8(utf16, utf8, Vesk::utf::Policy::Strict));
  WString back;
  ASSERT_TRUE(Vesk::utf::utf8ToUtf16(utf8, back, Vesk::utf::Policy::Strict));
  EXPECT_EQ(back, utf16);
}

TEST(Utf, TStringUsesReplacePolicyAndNulRules) {
  EXPECT_EQ(*Vesk::TString("\xFF").storage(), u"\uFFFD");
  EXPECT_EQ(Vesk::TString(WString(u"\xD800")).utf8String(), "\xEF\xBF\xBD");
  // Empty input, and input whose first byte or unit is NUL, give the empty text.
  EXPECT_TRUE(Vesk::TString("").isEmpty());
  EXPECT_TRUE(Vesk::TString("\0ab"s).isEmpty());
  EXPECT_TRUE(Vesk::TString("abc", 0).isEmpty());
  EXPECT_EQ(Vesk::TString(WString(u"\0a"s)).utf8String(), "");
  // Later NULs survive both directions.
  Vesk::TString withNul("a\0b"s);
  EXPECT_EQ(withNul.length(), 3u);
  EXPECT_EQ(withNul.utf8String(), "a\0b"s);
  EXPECT_EQ(Vesk::TString("abcdef", 3), u"abc");
}

}  // namespace
