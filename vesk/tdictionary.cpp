#include "vesk/tdictionary.h"

#include "vesk/tarray.h"
#include "vesk/tdata.h"
#include "vesk/tnumber.h"

namespace Vesk {

std::shared_ptr<TDictionary> TDictionary::create(
    std::initializer_list<std::pair<TString, std::shared_ptr<TObject>>> entries) {
  auto dictionary = std::make_shared<TDictionary>();
  for (const auto& [key, value] : entries) dictionary->setObjectForKey(value, key);
  return dictionary;
}

void TDictionary::addEntriesFromDictionary(const TDictionary* other) {
  if (other == nullptr || other == this) return;
  for (const auto& [key, value] : other->entries_) entries_[key] = value;
}

std::shared_ptr<TObject> TDictionary::objectForKey(const TString& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second;
}

std::shared_ptr<TArray> TDictionary::allKeys() const {
  auto keys = std::make_shared<TArray>();
  for (const auto& entry : entries_) keys->addObject(std::make_shared<TString>(entry.first));
  return keys;
}

void TDictionary::setObjectForKey(TObject* value, const TString& key) {
  if (value == nullptr) {
    entries_.erase(key);
    return;
  }
  entries_[key] = std::shared_ptr<TObject>(value);
}

void TDictionary::setBool(const TString& key, bool value) { set(key, std::make_shared<TNumber>(value)); }
void TDictionary::setInt(const TString& key, int32_t value) { set(key, std::make_shared<TNumber>(value)); }
void TDictionary::setUnsignedInt(const TString& key, uint32_t value) { set(key, std::make_shared<TNumber>(value)); }
void TDictionary::setLongLong(const TString& key, int64_t value) {
  set(key, std::make_shared<TNumber>(static_cast<long long>(value)));
}
void TDictionary::setUnsignedLongLong(const TString& key, uint64_t value) {
  set(key, std::make_shared<TNumber>(static_cast<unsigned long long>(value)));
}
void TDictionary::setFloat(const TString& key, float value) { set(key, std::make_shared<TNumber>(value)); }
void TDictionary::setDouble(const TString& key, double value) { set(key, std::make_shared<TNumber>(value)); }
void TDictionary::setString(const TString& key, const char* value) {
  set(key, std::make_shared<TString>(value ? value : ""));
}
void TDictionary::setString(const TString& key, const WChar* value) { set(key, std::make_shared<TString>(value)); }
void TDictionary::setData(const TString& key, const void* bytes, int length) {
  set(key, std::make_shared<TData>(bytes, length > 0 && bytes != nullptr ? static_cast<size_t>(length) : 0));
}

void TDictionary::forEachKey(const std::function<void(const TString&)>& fn) const {
  for (const auto& entry : entries_) fn(entry.first);
}

void TDictionary::forEachKeyAndObject(
    const std::function<void(const TString&, const std::shared_ptr<TObject>&)>& fn) const {
  for (const auto& [key, value] : entries_) fn(key, value);
}

void TDictionary::forEachKeyWhile(const std::function<bool(const TString&)>& fn) const {
  for (const auto& entry : entries_) {
    if (!fn(entry.first)) return;
  }
}

void TDictionary::forEachKeyAndObjectWhile(
    const std::function<bool(const TString&, const std::shared_ptr<TObject>&)>& fn) const {
  for (const auto& [key, value] : entries_) {
    if (!fn(key, value)) return;
  }
}

}  // namespace Vesk
