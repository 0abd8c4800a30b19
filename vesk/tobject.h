// The root of the object library: the coding interface, the object root with its class
// descriptors and kind test, and the explicit null value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vesk/wchar.h"

namespace Vesk {

class TObject;

// One immutable record per class, constant-initialised, compared by address.
struct TClassInfo {
  const TClassInfo* superclass;
  const char* name;
  const char* namespaceName;
};

// Declares a class's descriptor together with the className/classInfo overrides, so the two can
// never disagree. Use it in the public part of every framework class that has a name of its own:
//   class HttpHandler : public Vesk::TObject { VESK_DECLARE_CLASS(HttpHandler, Vesk::TObject, "http") ... };
// The descriptor is reachable statically as HttpHandler::classDescriptor. Members declared after
// the macro are public until another access specifier follows.
#define VESK_DECLARE_CLASS(Name, Super, NamespaceText)                                       \
 public:                                                                                     \
  static constexpr ::Vesk::TClassInfo classDescriptor{&Super::classDescriptor, #Name,        \
                                                      NamespaceText};                       \
  const char* className() const override { return classDescriptor.name; }                   \
  const ::Vesk::TClassInfo* classInfo() const override { return &classDescriptor; }         \
                                                                                             \
 public:

// The coding hooks. Nothing in the system overrides them; they exist so that every object has
// the same set of virtual operations.
class TCoder {
 public:
  virtual ~TCoder() = default;
  virtual void encode() {}
  virtual void encodeValues(int fixed, ...) { (void)fixed; }
  // Always false; neither output is touched.
  virtual bool decode(std::string& bytes, uint32_t& length) {
    (void)bytes;
    (void)length;
    return false;
  }
  virtual std::shared_ptr<TObject> decodeObject() { return nullptr; }
};

class TObject : public TCoder {
 public:
  static constexpr TClassInfo classDescriptor{nullptr, "TObject", nullptr};

  TObject() = default;
  ~TObject() override = default;

  virtual const char* className() const { return classDescriptor.name; }
  virtual const TClassInfo* classInfo() const { return &classDescriptor; }
  // Equality of the base is never true: containers test identity themselves first.
  virtual bool isEqual(const TObject* other) const {
    (void)other;
    return false;
  }
  // Throws the wide text pointer u"Not implemented" (not an exception object). Callers that must
  // not let it escape catch (...).
  virtual int compare(const std::shared_ptr<TObject>& other) const;

  // True when this object's class is the one described or derives from it.
  bool isKindOfClass(const TClassInfo* descriptor) const;
};

class TNull : public TObject {
  VESK_DECLARE_CLASS(TNull, TObject, nullptr)
 public:
  TNull() = default;
};

// The text thrown by the base compare.
inline constexpr const WChar* kNotImplementedText = u"Not implemented";

}  // namespace Vesk
