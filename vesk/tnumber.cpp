#include "vesk/tnumber.h"

#include <cmath>
#include <cstring>
#include <ctime>

namespace Vesk {

namespace {

// Truncation toward zero that never leaves the target's range (NaN gives 0).
int64_t saturateToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  if (d < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(d);
}

int32_t saturateToInt32(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 2147483648.0) return INT32_MAX;
  if (d <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(d);
}

uint64_t saturateToUint64(double d) {
  if (std::isnan(d) || d <= -1.0) return 0;
  if (d >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(d);
}

}  // namespace

std::shared_ptr<TNumber> TNumber::numberWithLong(int32_t value) {
  auto number = std::make_shared<TNumber>();
  number->setLongValue(value);
  return number;
}

std::shared_ptr<TNumber> TNumber::numberWithUnsignedLong(uint32_t value) {
  auto number = std::make_shared<TNumber>();
  number->setUnsignedLongValue(value);
  return number;
}

void TNumber::setBoolValue(bool value) { set(kBool, value ? 1 : 0); }
void TNumber::setShortValue(int16_t value) { set(kShort, static_cast<uint64_t>(static_cast<int64_t>(value))); }
void TNumber::setUnsignedShortValue(uint16_t value) { set(kUnsignedShort, value); }
void TNumber::setIntValue(int32_t value) { set(kInt, static_cast<uint64_t>(static_cast<int64_t>(value))); }
void TNumber::setUnsignedIntValue(uint32_t value) { set(kUnsignedInt, value); }
void TNumber::setLongValue(int32_t value) { set(kLong, static_cast<uint64_t>(static_cast<int64_t>(value))); }
void TNumber::setUnsignedLongValue(uint32_t value) { set(kUnsignedLong, value); }
void TNumber::setLongLongValue(int64_t value) { set(kLongLong, static_cast<uint64_t>(value)); }
void TNumber::setUnsignedLongLongValue(uint64_t value) { set(kUnsignedLongLong, value); }
void TNumber::setFloatValue(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  set(kFloat, bits);
}
void TNumber::setDoubleValue(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  set(kDouble, bits);
}

float TNumber::storedFloat() const {
  const auto bits = static_cast<uint32_t>(slot_);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

double TNumber::storedDouble() const {
  double value;
  std::memcpy(&value, &slot_, 8);
  return value;
}

bool TNumber::boolValue() const {
  if (type_ == kBool) return (slot_ & 0xFF) != 0;
  if (isInteger()) return slot_ != 0;
  if (type_ == kFloat) return storedFloat() != 0.0f;  // NaN != 0
  if (type_ == kDouble) return storedDouble() != 0.0;
  return false;
}

int32_t TNumber::intValue() const {
  if (type_ == kBool) return (slot_ & 0xFF) != 0 ? 1 : 0;
  if (isInteger()) return static_cast<int32_t>(static_cast<uint32_t>(slot_));
  if (isFloating()) return saturateToInt32(doubleValue());
  return 0;
}

int16_t TNumber::shortValue() const { return static_cast<int16_t>(static_cast<uint16_t>(intValue())); }
uint16_t TNumber::unsignedShortValue() const { return static_cast<uint16_t>(intValue()); }
int32_t TNumber::longValue() const { return intValue(); }

uint32_t TNumber::unsignedIntValue() const {
  if (isFloating()) return static_cast<uint32_t>(static_cast<uint64_t>(saturateToInt64(doubleValue())));
  return static_cast<uint32_t>(intValue());
}
uint32_t TNumber::unsignedLongValue() const { return unsignedIntValue(); }

int64_t TNumber::longLongValue() const {
  if (type_ == kBool) return (slot_ & 0xFF) != 0 ? 1 : 0;
  if (isInteger()) return static_cast<int64_t>(slot_);
  if (isFloating()) return saturateToInt64(doubleValue());
  return 0;
}

uint64_t TNumber::unsignedLongLongValue() const {
  if (isFloating()) return saturateToUint64(doubleValue());
  return static_cast<uint64_t>(longLongValue());
}

double TNumber::doubleValue() const {
  switch (type_) {
    case kBool: return (slot_ & 0xFF) != 0 ? 1.0 : 0.0;
    case kShort: case kInt: case kLong: case kLongLong: return static_cast<double>(static_cast<int64_t>(slot_));
    case kUnsignedShort: case kUnsignedInt: case kUnsignedLong: case kUnsignedLongLong:
      return static_cast<double>(slot_);
    case kFloat: return static_cast<double>(storedFloat());
    case kDouble: return storedDouble();
    default: return 0.0;
  }
}

float TNumber::floatValue() const {
  if (type_ == kFloat) return storedFloat();
  return static_cast<float>(doubleValue());
}

bool TNumber::isEqualToNumber(const TNumber* other) const {
  return other != nullptr && std::fabs(doubleValue() - other->doubleValue()) < 0.000001;
}
bool TNumber::isLessThan(const TNumber* other) const { return other != nullptr && doubleValue() < other->doubleValue(); }
bool TNumber::isGreaterThan(const TNumber* other) const {
  return other != nullptr && doubleValue() > other->doubleValue();
}

int TNumber::compare(const std::shared_ptr<TObject>& other) const {
  if (!other || !other->isKindOfClass(&TNumber::classDescriptor)) throw kNotATNumberText;
  const auto* that = static_cast<const TNumber*>(other.get());
  if (isEqualToNumber(that)) return 0;
  return doubleValue() < that->doubleValue() ? -1 : 1;
}

TDate::TDate() : seconds_(static_cast<double>(static_cast<int64_t>(std::time(nullptr)))) {}

std::shared_ptr<TDate> TDate::dateWithTimeIntervalSince1970(double seconds) { return std::make_shared<TDate>(seconds); }

std::shared_ptr<TDate> TDate::dateWithTimeIntervalSinceReferenceDate(double seconds) {
  return std::make_shared<TDate>(seconds + kReferenceDate);
}

}  // namespace Vesk
