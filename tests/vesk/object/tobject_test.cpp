#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "vesk/tobject.h"

namespace {

// A small chain: Base <- Derived <- Leaf, plus Silent, which names no class of its own.
class Base : public Vesk::TObject {
  VESK_DECLARE_CLASS(Base, Vesk::TObject, "zrk")
};
class Derived : public Base {
  VESK_DECLARE_CLASS(Derived, Base, "zrk::plugin")
};
class Leaf : public Derived {
  VESK_DECLARE_CLASS(Leaf, Derived, nullptr)
};
class Silent : public Derived {};
class Other : public Vesk::TObject {
  VESK_DECLARE_CLASS(Other, Vesk::TObject, nullptr)
};

struct KindCase {
  const char* what;
  std::shared_ptr<Vesk::TObject> object;
  const Vesk::TClassInfo* asked;
  bool expected;
};

TEST(TObjectTest, KindTestsWalkTheDescriptorChain) {
  auto base = std::make_shared<Base>();
  auto derived = std::make_shared<Derived>();
  auto leaf = std::make_shared<Leaf>();
  auto silent = std::make_shared<Silent>();
  auto null = std::make_shared<Vesk::TNull>();
  const KindCase cases[] = {
      {"leaf is a leaf", leaf, &Leaf::classDescriptor, true},
      {"leaf is derived", leaf, &Derived::classDescriptor, true},
      {"leaf is base", leaf, &Base::classDescriptor, true},
      {"leaf is an object", leaf, &Vesk::TObject::classDescriptor, true},
      {"leaf is not other", leaf, &Other::classDescriptor, false},
      {"base is not derived", base, &Derived::classDescriptor, false},
      {"derived is not leaf", derived, &Leaf::classDescriptor, false},
      {"null descriptor", leaf, nullptr, false},
      {"silent passes its base's test", silent, &Derived::classDescriptor, true},
      {"silent is an object", silent, &Vesk::TObject::classDescriptor, true},
      {"TNull is an object", null, &Vesk::TObject::classDescriptor, true},
      {"TNull is TNull", null, &Vesk::TNull::classDescriptor, true},
      {"TNull is not base", null, &Base::classDescriptor, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.object->isKindOfClass(c.asked), c.expected) << c.what;
  }
}

TEST(TObjectTest, NamesAndDescriptorsComeFromTheClass) {
  Leaf leaf;
  Silent silent;
  Vesk::TObject root;
  const Vesk::TObject& asRoot = leaf;
  EXPECT_STREQ(asRoot.className(), "Leaf");
  EXPECT_EQ(asRoot.classInfo(), &Leaf::classDescriptor);
  EXPECT_EQ(Leaf::classDescriptor.superclass, &Derived::classDescriptor);
  EXPECT_STREQ(Derived::classDescriptor.namespaceName, "zrk::plugin");
  EXPECT_EQ(Vesk::TObject::classDescriptor.superclass, nullptr);
  EXPECT_STREQ(root.className(), "TObject");
  // A class that names no class of its own reports its base's name and descriptor.
  EXPECT_STREQ(silent.className(), "Derived");
  EXPECT_EQ(silent.classInfo(), &Derived::classDescriptor);
  EXPECT_STREQ(Vesk::TNull().className(), "TNull");
}

TEST(TObjectTest, EqualityOfTheRootIsNeverTrue) {
  auto object = std::make_shared<Base>();
  EXPECT_FALSE(object->isEqual(object.get()));
  EXPECT_FALSE(object->isEqual(nullptr));
}

TEST(TObjectTest, CompareOfTheRootThrowsItsTextPointer) {
  auto null = std::make_shared<Vesk::TNull>();
  auto other = std::make_shared<Other>();
  for (const auto& object : {std::shared_ptr<Vesk::TObject>(null), std::shared_ptr<Vesk::TObject>(other)}) {
    try {
      object->compare(null);
      ADD_FAILURE() << "compare did not throw";
    } catch (const Vesk::WChar* text) {
      EXPECT_EQ(std::u16string(text), u"Not implemented");
    }
  }
}

TEST(TObjectTest, CodingHooksDoNothing) {
  Leaf leaf;
  std::string bytes = "untouched";
  uint32_t length = 77;
  EXPECT_FALSE(leaf.decode(bytes, length));
  EXPECT_EQ(bytes, "untouched");
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(leaf.decodeObject(), nullptr);
  leaf.encode();
  leaf.encodeValues(1, 2, 3);
}

TEST(TObjectTest, DestructionThroughTheCoderReleasesTheWholeObject) {
  static int destroyed = 0;
  struct Counted : Base {
    ~Counted() override { ++destroyed; }
  };
  std::unique_ptr<Vesk::TCoder> coder(new Counted);
  coder.reset();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
