// Vesk::TDictionary: string keys, in the string class's unit order, mapped to shared objects.
#pragma once

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <utility>

#include "vesk/tobject.h"
#include "vesk/tstring.h"

namespace Vesk {

class TArray;

class TDictionary : public TObject {
  VESK_DECLARE_CLASS(TDictionary, TObject, nullptr)

 public:
  using Storage = std::map<TString, std::shared_ptr<TObject>>;

  TDictionary() = default;
  // Filled in list order: a key given twice keeps its last value.
  static std::shared_ptr<TDictionary> create(
      std::initializer_list<std::pair<TString, std::shared_ptr<TObject>>> entries);
  // Sets every entry of the other; a null other or this dictionary itself changes nothing.
  void addEntriesFromDictionary(const std::shared_ptr<TDictionary>& other) { addEntriesFromDictionary(other.get()); }
  void addEntriesFromDictionary(const TDictionary* other);

  // An empty pointer for an absent key (and for a key stored with an empty value).
  std::shared_ptr<TObject> objectForKey(const TString& key) const;
  std::shared_ptr<TObject> operator[](const TString& key) const { return objectForKey(key); }
  int count() const { return static_cast<int>(entries_.size()); }
  // New copies of the keys, in key order.
  std::shared_ptr<TArray> allKeys() const;
  Storage::iterator find(const TString& key) { return entries_.find(key); }
  Storage::const_iterator find(const TString& key) const { return entries_.find(key); }
  Storage::iterator begin() { return entries_.begin(); }
  Storage::iterator end() { return entries_.end(); }
  Storage::const_iterator begin() const { return entries_.begin(); }
  Storage::const_iterator end() const { return entries_.end(); }

  // An empty pointer keeps the key with no object.
  void setObjectForKey(const std::shared_ptr<TObject>& value, const TString& key) { entries_[key] = value; }
  void set(const TString& key, const std::shared_ptr<TObject>& value) { entries_[key] = value; }
  // Null removes the key; otherwise takes ownership of the raw object.
  void setObjectForKey(TObject* value, const TString& key);

  void setBool(const TString& key, bool value);
  void setInt(const TString& key, int32_t value);
  void setUnsignedInt(const TString& key, uint32_t value);
  void setLongLong(const TString& key, int64_t value);
  void setUnsignedLongLong(const TString& key, uint64_t value);
  void setFloat(const TString& key, float value);
  void setDouble(const TString& key, double value);
  // UTF-8 text; null stores the empty string.
  void setString(const TString& key, const char* value);
  // UTF-16 text up to its first NUL; null stores the empty string.
  void setString(const TString& key, const WChar* value);
  // A copy of the bytes (none for a length of 0 or less).
  void setData(const TString& key, const void* bytes, int length);

  void removeObjectForKey(const TString& key) { entries_.erase(key); }
  void removeAllObjects() { entries_.clear(); }
  virtual void clear() { entries_.clear(); }

  void forEachKey(const std::function<void(const TString&)>& fn) const;
  void forEachKeyAndObject(const std::function<void(const TString&, const std::shared_ptr<TObject>&)>& fn) const;
  // Stop after the first call that returns false.
  void forEachKeyWhile(const std::function<bool(const TString&)>& fn) const;
  void forEachKeyAndObjectWhile(
      const std::function<bool(const TString&, const std::shared_ptr<TObject>&)>& fn) const;

 private:
  Storage entries_;
};

}  // namespace Vesk
