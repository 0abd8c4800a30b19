// Vesk::TNumber boxes one scalar and remembers the C type it came from; Vesk::TUid is a number
// holding an unsigned 64-bit identifier; Vesk::TDate is a point in time in seconds since 1970.
//
// The type tags keep the desktop API's 32-bit "long": tags 6 and 7 hold 32-bit values. Here the
// C++ long is 64 bits wide, so the constructors taking long/unsigned long make tags 8 and 9, and
// tags 6 and 7 are reached only through setLongValue/setUnsignedLongValue and the factories
// numberWithLong/numberWithUnsignedLong. Conversions to integers saturate where a floating-point
// value does not fit (NaN gives 0).
#pragma once

#include <cstdint>
#include <memory>

#include "vesk/tobject.h"

namespace Vesk {

inline constexpr const WChar* kNotATNumberText = u"Not a TNumber object!";

class TNumber : public TObject {
  VESK_DECLARE_CLASS(TNumber, TObject, nullptr)

 public:
  enum Type : int32_t {
    kBool = 1,
    kShort = 2,
    kUnsignedShort = 3,
    kInt = 4,
    kUnsignedInt = 5,
    kLong = 6,          // 32-bit
    kUnsignedLong = 7,  // 32-bit
    kLongLong = 8,
    kUnsignedLongLong = 9,
    kFloat = 10,
    kDouble = 11,
  };

  // A 64-bit signed zero.
  TNumber() = default;
  explicit TNumber(bool value) { setBoolValue(value); }
  explicit TNumber(short value) { setShortValue(value); }
  explicit TNumber(unsigned short value) { setUnsignedShortValue(value); }
  explicit TNumber(int value) { setIntValue(value); }
  explicit TNumber(unsigned int value) { setUnsignedIntValue(value); }
  explicit TNumber(long value) { setLongLongValue(value); }
  explicit TNumber(unsigned long value) { setUnsignedLongLongValue(value); }
  explicit TNumber(long long value) { setLongLongValue(value); }
  explicit TNumber(unsigned long long value) { setUnsignedLongLongValue(value); }
  explicit TNumber(float value) { setFloatValue(value); }
  explicit TNumber(double value) { setDoubleValue(value); }

  // The 32-bit long forms (tags 6 and 7).
  static std::shared_ptr<TNumber> numberWithLong(int32_t value);
  static std::shared_ptr<TNumber> numberWithUnsignedLong(uint32_t value);

  void setBoolValue(bool value);
  void setShortValue(int16_t value);
  void setUnsignedShortValue(uint16_t value);
  void setIntValue(int32_t value);
  void setUnsignedIntValue(uint32_t value);
  void setLongValue(int32_t value);
  void setUnsignedLongValue(uint32_t value);
  void setLongLongValue(int64_t value);
  void setUnsignedLongLongValue(uint64_t value);
  void setFloatValue(float value);
  void setDoubleValue(double value);

  int32_t type() const { return type_; }

  bool boolValue() const;
  int16_t shortValue() const;
  uint16_t unsignedShortValue() const;
  int32_t intValue() const;
  uint32_t unsignedIntValue() const;
  int32_t longValue() const;
  uint32_t unsignedLongValue() const;
  int64_t longLongValue() const;
  uint64_t unsignedLongLongValue() const;
  float floatValue() const;
  double doubleValue() const;

  // The doubleValues differ by less than 1e-6.
  bool isEqualToNumber(const TNumber* other) const;
  bool isLessThan(const TNumber* other) const;
  bool isGreaterThan(const TNumber* other) const;
  // 0 when equal, -1 when this orders first, else 1 (also for NaN); throws kNotATNumberText when
  // other is not a number.
  int compare(const std::shared_ptr<TObject>& other) const override;

 private:
  void set(int32_t type, uint64_t slot) {
    type_ = type;
    slot_ = slot;
  }
  float storedFloat() const;
  double storedDouble() const;
  bool isFloating() const { return type_ == kFloat || type_ == kDouble; }
  bool isInteger() const { return type_ >= kShort && type_ <= kUnsignedLongLong; }

  uint64_t slot_ = 0;
  int32_t type_ = kLongLong;
};

class TUid : public TNumber {
  VESK_DECLARE_CLASS(TUid, TNumber, nullptr)

 public:
  TUid() : TNumber(0ULL) {}
  explicit TUid(uint64_t identifier) : TNumber(static_cast<unsigned long long>(identifier)) {}
};

class TDate : public TObject {
  VESK_DECLARE_CLASS(TDate, TObject, nullptr)

 public:
  // 2001-01-01 00:00:00 UTC in seconds since 1970.
  static constexpr double kReferenceDate = 978307200.0;

  // Now, in whole seconds.
  TDate();
  explicit TDate(double secondsSince1970) : seconds_(secondsSince1970) {}

  static std::shared_ptr<TDate> dateWithTimeIntervalSince1970(double seconds);
  static std::shared_ptr<TDate> dateWithTimeIntervalSinceReferenceDate(double seconds);
  double timeIntervalSince1970() const { return seconds_; }
  double timeIntervalSinceReferenceDate() const { return seconds_ - kReferenceDate; }

 private:
  double seconds_ = 0;
};

}  // namespace Vesk
