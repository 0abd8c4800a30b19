// Vesk::TArray: an ordered sequence of shared objects with int indexes. Reads outside the range
// give an empty pointer; removals and replacements outside it do nothing.
#pragma once

#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>

#include "vesk/tobject.h"

namespace Vesk {

class TArray : public TObject {
  VESK_DECLARE_CLASS(TArray, TObject, nullptr)

 public:
  using Storage = std::deque<std::shared_ptr<TObject>>;
  using Comparator = bool (*)(const std::shared_ptr<TObject>&, const std::shared_ptr<TObject>&);

  TArray() = default;
  static std::shared_ptr<TArray> create(std::initializer_list<std::shared_ptr<TObject>> objects);

  void addObject(const std::shared_ptr<TObject>& object) { objects_.push_back(object); }
  // Takes ownership of the raw object.
  void addObject(TObject* object) { objects_.push_back(std::shared_ptr<TObject>(object)); }
  // A null other or this array itself changes nothing.
  void addObjectsFromArray(const std::shared_ptr<TArray>& other) { addObjectsFromArray(other.get()); }
  void addObjectsFromArray(const TArray* other);
  // Inserts before the element at index (0..count); throws std::out_of_range for any other index,
  // and then the raw form leaves the object with the caller.
  void insertObject(const std::shared_ptr<TObject>& object, int index);
  void insertObject(TObject* object, int index);

  int count() const { return static_cast<int>(objects_.size()); }
  std::shared_ptr<TObject> objectAtIndex(int index) const;
  // The element's pointer; throws std::out_of_range for an index outside the array.
  std::shared_ptr<TObject>& at(int index) { return objects_.at(checkedIndex(index)); }
  const std::shared_ptr<TObject>& at(int index) const { return objects_.at(checkedIndex(index)); }
  std::shared_ptr<TObject> firstObject() const { return objects_.empty() ? nullptr : objects_.front(); }
  std::shared_ptr<TObject> lastObject() const { return objects_.empty() ? nullptr : objects_.back(); }
  Storage::iterator begin() { return objects_.begin(); }
  Storage::iterator end() { return objects_.end(); }
  Storage::const_iterator begin() const { return objects_.begin(); }
  Storage::const_iterator end() const { return objects_.end(); }

  // The first element that is the object itself or whose isEqual accepts it; -1 when none.
  int indexOfObject(const std::shared_ptr<TObject>& object) const { return indexOfObject(object.get()); }
  int indexOfObject(const TObject* object) const;
  bool containsObject(const std::shared_ptr<TObject>& object) const { return indexOfObject(object) >= 0; }
  bool containsObject(const TObject* object) const { return indexOfObject(object) >= 0; }

  void removeObjectAtIndex(int index);
  void removeFirstObject();
  void removeLastObject();
  // Removes the first matching element only; returns the new count, or -1 when nothing matched.
  int removeObject(const std::shared_ptr<TObject>& object) { return removeObject(object.get()); }
  int removeObject(const TObject* object);
  void replaceObject(const std::shared_ptr<TObject>& object, int index);
  // Takes ownership only when it replaces; a null object or a bad index leaves it with the caller.
  void replaceObject(TObject* object, int index);
  virtual void clear() { objects_.clear(); }

  void forEachObject(const std::function<void(const std::shared_ptr<TObject>&)>& fn) const;
  void forEachObjectAndIndex(const std::function<void(int, const std::shared_ptr<TObject>&)>& fn) const;
  // Stop after the first call that returns false.
  void forEachObjectWhile(const std::function<bool(const std::shared_ptr<TObject>&)>& fn) const;
  void forEachObjectAndIndexWhile(const std::function<bool(int, const std::shared_ptr<TObject>&)>& fn) const;

  // Unstable sort; a null comparator changes nothing.
  void sort(Comparator lessThan);

 private:
  size_t checkedIndex(int index) const;
  Storage objects_;
};

}  // namespace Vesk
