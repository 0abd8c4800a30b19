// Numbers, identifiers and dates.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "vesk/tnumber.h"
#include "vesk/tstring.h"

using Vesk::TNumber;

namespace {

struct Row {
  const char* what;
  std::function<TNumber()> make;
  int32_t tag;
  bool b;
  int16_t s;
  uint16_t us;
  int32_t i;
  uint32_t ui;
  int64_t ll;
  uint64_t ull;
  double d;
};

TNumber longNumber(int32_t v) {
  TNumber n;
  n.setLongValue(v);
  return n;
}
TNumber unsignedLongNumber(uint32_t v) {
  TNumber n;
  n.setUnsignedLongValue(v);
  return n;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Constructor, then every getter: the stored type decides how each getter converts.
const Row kRows[] = {
    {"int -5", [] { return TNumber(-5); }, 4, true, -5, 65531, -5, 4294967291u, -5, 18446744073709551611ull, -5.0},
    {"ushort 65535", [] { return TNumber(static_cast<unsigned short>(65535)); }, 3, true, -1, 65535, 65535, 65535, 65535,
     65535, 65535.0},
    {"short -2", [] { return TNumber(static_cast<short>(-2)); }, 2, true, -2, 65534, -2, 4294967294u, -2,
     18446744073709551614ull, -2.0},
    {"uint max", [] { return TNumber(4294967295u); }, 5, true, -1, 65535, -1, 4294967295u, 4294967295, 4294967295,
     4294967295.0},
    {"long(32) -7", [] { return longNumber(-7); }, 6, true, -7, 65529, -7, 4294967289u, -7, 18446744073709551609ull,
     -7.0},
    {"ulong(32) 7", [] { return unsignedLongNumber(7); }, 7, true, 7, 7, 7, 7, 7, 7, 7.0},
    {"long 2^40", [] { return TNumber(1099511627776L); }, 8, true, 0, 0, 0, 0, 1099511627776, 1099511627776,
     1099511627776.0},
    {"long long min", [] { return TNumber(std::numeric_limits<long long>::min()); }, 8, true, 0, 0, 0, 0,
     std::numeric_limits<int64_t>::min(), 9223372036854775808ull, -9223372036854775808.0},
    {"long long 0", [] { return TNumber(0LL); }, 8, false, 0, 0, 0, 0, 0, 0, 0.0},
    {"ull max", [] { return TNumber(18446744073709551615ull); }, 9, true, -1, 65535, -1, 4294967295u, -1,
     18446744073709551615ull, 18446744073709551616.0},
    {"unsigned long 1", [] { return TNumber(1UL); }, 9, true, 1, 1, 1, 1, 1, 1, 1.0},
    {"bool true", [] { return TNumber(true); }, 1, true, 1, 1, 1, 1, 1, 1, 1.0},
    {"bool false", [] { return TNumber(false); }, 1, false, 0, 0, 0, 0, 0, 0, 0.0},
    {"double 2.9", [] { return TNumber(2.9); }, 11, true, 2, 2, 2, 2, 2, 2, 2.9},
    {"double -2.9", [] { return TNumber(-2.9); }, 11, true, -2, 65534, -2, 4294967294u, -2, 0, -2.9},
    {"float 1.5", [] { return TNumber(1.5f); }, 10, true, 1, 1, 1, 1, 1, 1, 1.5},
    {"float -0.0", [] { return TNumber(-0.0f); }, 10, false, 0, 0, 0, 0, 0, 0, -0.0},
    {"double 70000.7", [] { return TNumber(70000.7); }, 11, true, 4464, 4464, 70000, 70000, 70000, 70000, 70000.7},
    // Values outside an integer's range saturate instead of being undefined.
    {"double 1e300", [] { return TNumber(1e300); }, 11, true, -1, 65535, 2147483647, 4294967295u,
     std::numeric_limits<int64_t>::max(), std::numeric_limits<uint64_t>::max(), 1e300},
    {"double -1e300", [] { return TNumber(-1e300); }, 11, true, 0, 0, std::numeric_limits<int32_t>::min(), 0,
     std::numeric_limits<int64_t>::min(), 0, -1e300},
    {"double 2^63", [] { return TNumber(9223372036854775808.0); }, 11, true, -1, 65535, 2147483647, 4294967295u,
     std::numeric_limits<int64_t>::max(), 9223372036854775808ull, 9223372036854775808.0},
    {"double 3e9", [] { return TNumber(3e9); }, 11, true, -1, 65535, 2147483647, 3000000000u, 3000000000, 3000000000,
     3e9},
    {"float -inf", [] { return TNumber(-std::numeric_limits<float>::infinity()); }, 10, true, 0, 0,
     std::numeric_limits<int32_t>::min(), 0, std::numeric_limits<int64_t>::min(), 0, -kInf},
};

TEST(TNumber, ConstructorGetterTable) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.what);
    const TNumber n = r.make();
    EXPECT_EQ(n.type(), r.tag);
    EXPECT_EQ(n.boolValue(), r.b);
    EXPECT_EQ(n.shortValue(), r.s);
    EXPECT_EQ(n.unsignedShortValue(), r.us);
    EXPECT_EQ(n.intValue(), r.i);
    EXPECT_EQ(n.longValue(), r.i);
    EXPECT_EQ(n.unsignedIntValue(), r.ui);
    EXPECT_EQ(n.unsignedLongValue(), r.ui);
    EXPECT_EQ(n.longLongValue(), r.ll);
    EXPECT_EQ(n.unsignedLongLongValue(), r.ull);
    EXPECT_EQ(n.doubleValue(), r.d);
    EXPECT_EQ(n.floatValue(), static_cast<float>(r.d));
  }
}

TEST(TNumber, NaNAndSetters) {
  const TNumber nan(kNaN);
  EXPECT_TRUE(nan.boolValue());
  EXPECT_EQ(nan.intValue(), 0);
  EXPECT_EQ(nan.longLongValue(), 0);
  EXPECT_EQ(nan.unsignedLongLongValue(), 0u);
  EXPECT_TRUE(TNumber(std::numeric_limits<float>::quiet_NaN()).boolValue());

  TNumber n(3.5);
  n.setShortValue(-3);
  EXPECT_EQ(n.type(), TNumber::kShort);
  EXPECT_EQ(n.doubleValue(), -3.0);
  n.setFloatValue(0.25f);
  EXPECT_EQ(n.type(), TNumber::kFloat);
  EXPECT_EQ(n.doubleValue(), 0.25);
  EXPECT_EQ(TNumber::numberWithLong(-1)->type(), TNumber::kLong);
  EXPECT_EQ(TNumber::numberWithUnsignedLong(4000000000u)->unsignedLongValue(), 4000000000u);
  EXPECT_EQ(TNumber().type(), TNumber::kLongLong);
  EXPECT_EQ(TNumber().longLongValue(), 0);
}

TEST(TNumber, ComparisonsWithTolerance) {
  auto num = [](double v) { return std::make_shared<TNumber>(v); };
  struct Case {
    double a, b;
    int expected;
  };
  for (const auto& c : {Case{1.0000001, 1.0, 0}, Case{1, 2, -1}, Case{2, 1, 1}, Case{kNaN, 1, 1}, Case{1, kNaN, 1},
                        Case{-kInf, 0, -1}}) {
    EXPECT_EQ(num(c.a)->compare(num(c.b)), c.expected) << c.a << " vs " << c.b;
  }
  // Different stored types compare by value; an identifier is a number too.
  EXPECT_EQ(TNumber(5).compare(std::make_shared<Vesk::TUid>(5)), 0);
  EXPECT_TRUE(TNumber(5).isEqualToNumber(std::make_shared<TNumber>(5.0000001f).get()));
  EXPECT_TRUE(TNumber(1).isLessThan(num(2).get()));
  EXPECT_TRUE(TNumber(3u).isGreaterThan(num(2).get()));
  EXPECT_FALSE(TNumber(3u).isEqualToNumber(nullptr));

  for (const std::shared_ptr<Vesk::TObject>& other :
       {std::shared_ptr<Vesk::TObject>(std::make_shared<Vesk::TString>(u"1")), std::shared_ptr<Vesk::TObject>()}) {
    try {
      TNumber(1).compare(other);
      ADD_FAILURE() << "no throw";
    } catch (const char16_t* text) {
      EXPECT_EQ(std::u16string(text), u"Not a TNumber object!");
    }
  }
}

TEST(TUidAndTDate, Basics) {
  Vesk::TUid uid(18446744073709551615ull);
  EXPECT_EQ(uid.type(), TNumber::kUnsignedLongLong);
  EXPECT_EQ(uid.unsignedLongLongValue(), 18446744073709551615ull);
  EXPECT_TRUE(uid.isKindOfClass(&TNumber::classDescriptor));
  EXPECT_STREQ(uid.className(), "TUid");
  EXPECT_EQ(Vesk::TUid().unsignedLongLongValue(), 0u);

  EXPECT_EQ(Vesk::TDate::dateWithTimeIntervalSinceReferenceDate(0)->timeIntervalSince1970(), 978307200.0);
  EXPECT_EQ(Vesk::TDate::dateWithTimeIntervalSince1970(978307201.5)->timeIntervalSinceReferenceDate(), 1.5);
  const double before = static_cast<double>(std::time(nullptr));
  const Vesk::TDate now;
  EXPECT_GE(now.timeIntervalSince1970(), before);
  EXPECT_LE(now.timeIntervalSince1970(), before + 5);
  EXPECT_EQ(now.timeIntervalSince1970(), std::floor(now.timeIntervalSince1970()));  // whole seconds
  EXPECT_THROW(now.compare(std::make_shared<Vesk::TDate>()), const char16_t*);
}

}  // namespace
