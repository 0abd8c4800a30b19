#include "vesk/tarray.h"

#include <algorithm>
#include <stdexcept>

namespace Vesk {

std::shared_ptr<TArray> TArray::create(std::initializer_list<std::shared_ptr<TObject>> objects) {
  auto array = std::make_shared<TArray>();
  for (const auto& object : objects) array->addObject(object);
  return array;
}

void TArray::addObjectsFromArray(const TArray* other) {
  if (other == nullptr || other == this) return;
  objects_.insert(objects_.end(), other->objects_.begin(), other->objects_.end());
}

size_t TArray::checkedIndex(int index) const {
  if (index < 0) throw std::out_of_range("array index out of range");
  return static_cast<size_t>(index);
}

void TArray::insertObject(const std::shared_ptr<TObject>& object, int index) {
  if (index < 0 || index > count()) throw std::out_of_range("array insertion index out of range");
  objects_.insert(objects_.begin() + index, object);
}

void TArray::insertObject(TObject* object, int index) {
  if (index < 0 || index > count()) throw std::out_of_range("array insertion index out of range");
  objects_.insert(objects_.begin() + index, std::shared_ptr<TObject>(object));
}

std::shared_ptr<TObject> TArray::objectAtIndex(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return objects_[static_cast<size_t>(index)];
}

int TArray::indexOfObject(const TObject* object) const {
  for (size_t i = 0; i < objects_.size(); ++i) {
    const TObject* element = objects_[i].get();
    if (element == object || (element != nullptr && element->isEqual(object))) return static_cast<int>(i);
  }
  return -1;
}

void TArray::removeObjectAtIndex(int index) {
  if (index < 0 || index >= count()) return;
  objects_.erase(objects_.begin() + index);
}

void TArray::removeFirstObject() {
  if (!objects_.empty()) objects_.pop_front();
}

void TArray::removeLastObject() {
  if (!objects_.empty()) objects_.pop_back();
}

int TArray::removeObject(const TObject* object) {
  if (object == nullptr) return -1;
  const int index = indexOfObject(object);
  if (index < 0) return -1;
  objects_.erase(objects_.begin() + index);
  return count();
}

void TArray::replaceObject(const std::shared_ptr<TObject>& object, int index) {
  if (index < 0 || index >= count()) return;
  objects_[static_cast<size_t>(index)] = object;
}

void TArray::replaceObject(TObject* object, int index) {
  if (object == nullptr || index < 0 || index >= count()) return;
  objects_[static_cast<size_t>(index)] = std::shared_ptr<TObject>(object);
}

void TArray::forEachObject(const std::function<void(const std::shared_ptr<TObject>&)>& fn) const {
  for (const auto& object : objects_) fn(object);
}

void TArray::forEachObjectAndIndex(const std::function<void(int, const std::shared_ptr<TObject>&)>& fn) const {
  int index = 0;
  for (const auto& object : objects_) fn(index++, object);
}

void TArray::forEachObjectWhile(const std::function<bool(const std::shared_ptr<TObject>&)>& fn) const {
  for (const auto& object : objects_) {
    if (!fn(object)) return;
  }
}

void TArray::forEachObjectAndIndexWhile(const std::function<bool(int, const std::shared_ptr<TObject>&)>& fn) const {
  int index = 0;
  for (const auto& object : objects_) {
    if (!fn(index++, object)) return;
  }
}

void TArray::sort(Comparator lessThan) {
  if (lessThan != nullptr) std::sort(objects_.begin(), objects_.end(), lessThan);
}

}  // namespace Vesk
