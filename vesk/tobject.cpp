#include "vesk/tobject.h"

namespace Vesk {

int TObject::compare(const std::shared_ptr<TObject>& other) const {
  (void)other;
  throw kNotImplementedText;
}

bool TObject::isKindOfClass(const TClassInfo* descriptor) const {
  if (descriptor == nullptr) return false;
  for (const TClassInfo* info = classInfo(); info != nullptr; info = info->superclass) {
    if (info == descriptor) return true;
  }
  return false;
}

}  // namespace Vesk
