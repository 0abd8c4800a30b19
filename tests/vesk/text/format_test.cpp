// The format directives of the string class.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "vesk/tstring.h"
#include "print.h"

using Vesk::TString;
using Vesk::WString;

namespace {

TEST(TStringFormat, Directives) {
  TString s;
  EXPECT_EQ(s.format(u"%s=%d", u"n", 5), 3);
  EXPECT_EQ(s, u"n=5");

  auto fmt = [](auto... args) {
    TString t;
    int n = t.format(args...);
    return std::pair<int, TString>(n, t);
  };
  const std::pair<std::pair<int, TString>, const char16_t*> cases[] = {
      {fmt(u"%s|%S", u"wide \u00E9", "narrow \xC3\xA9"), u"wide \u00E9|narrow \u00E9"},
      {fmt(u"%ls|%hs|%ws", u"w", "n", u"w2"), u"w|n|w2"},
      {fmt(u"%c%C%hc%lc", u'\u00E9', 'b', 'c', u'd'), u"\u00E9bcd"},
      {fmt(u"%lld %I64d %llu", -9000000000LL, 9000000000LL, 18446744073709551615ULL),
       u"-9000000000 9000000000 18446744073709551615"},
      {fmt(u"%ld %lu %x %X %08x %o", -1, 4000000000u, 255u, 255u, 0xbeefu, 8u), u"-1 4000000000 ff FF 0000beef 10"},
      {fmt(u"%zu %hd %hhu", size_t{42}, 70000, 300), u"42 4464 44"},
      {fmt(u"[%5s][%-5s][%.2s][%*d][%-*d]", u"ab", u"ab", u"abcdef", 4, 7, 3, 1), u"[   ab][ab   ][ab][   7][1  ]"},
      {fmt(u"%.2f %e %g %5.1f", 2.675, 1234.5, 0.0001, -3.14159), u"2.67 1.234500e+03 0.0001  -3.1"},
      {fmt(u"100%% %s", static_cast<const char16_t*>(nullptr)), u"100% (null)"},
      {fmt(u"\U0001F600 %s", u"\U0001F601"), u"\U0001F600 \U0001F601"},
  };
  for (const auto& [result, expected] : cases) {
    EXPECT_EQ(result.second, expected) << result.second.utf8String();
    EXPECT_EQ(result.first, static_cast<int>(WString(expected).size()));
  }
}

TEST(TStringFormat, UnusableFormatsGiveMinusOneAndAnEmptyString) {
  for (const char16_t* bad : {u"%n", u"%q", u"trailing %", u"%Ld"}) {
    TString s(u"old");
    int n = 0;
    EXPECT_EQ(s.format(bad, &n), -1) << TString(bad).utf8String();
    EXPECT_TRUE(s.isEmpty());
  }
  TString s(u"old");
  EXPECT_EQ(s.format(nullptr), -1);
  EXPECT_TRUE(s.isEmpty());
}

TEST(TStringFormat, ShortFormatKeepsSixtyThreeUnits) {
  TString s;
  const WString sixtyThree(63, u'x');
  EXPECT_EQ(s.formatShort(u"%s", sixtyThree.c_str()), 63);
  EXPECT_EQ(s, sixtyThree.c_str());
  EXPECT_EQ(s.formatShort(u"%s!", sixtyThree.c_str()), -1);
  EXPECT_EQ(s, sixtyThree.c_str());  // the cut text is kept
  EXPECT_EQ(s.formatShort(u"%d", 12), 2);
  EXPECT_EQ(s, u"12");
}

TEST(TStringFormat, LongResultsHaveNoLimit) {
  const WString big(100000, u'y');
  TString s;
  EXPECT_EQ(s.format(u"<%s>", big.c_str()), 100002);
  EXPECT_EQ(s.length(), 100002u);
}

}  // namespace
