// Arrays and dictionaries.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vesk/tarray.h"
#include "vesk/tdata.h"
#include "vesk/tdictionary.h"
#include "vesk/tnumber.h"
#include "vesk/tstring.h"

using Vesk::TArray;
using Vesk::TDictionary;
using Vesk::TNumber;
using Vesk::TObject;
using Vesk::TString;

namespace {

std::shared_ptr<TObject> str(const char16_t* text) { return std::make_shared<TString>(text); }

// The array's elements as text ("?" for anything that is not a string).
std::u16string joined(const TArray& array) {
  std::u16string out;
  for (const auto& object : array) {
    auto text = std::dynamic_pointer_cast<TString>(object);
    out += text ? *text->storage() : u"?";
  }
  return out;
}

TEST(TArray, ReadingOutOfRangeGivesEmptyPointers) {
  TArray empty;
  EXPECT_EQ(empty.objectAtIndex(0), nullptr);
  EXPECT_EQ(empty.firstObject(), nullptr);
  EXPECT_EQ(empty.lastObject(), nullptr);
  auto array = TArray::create({str(u"a"), str(u"b"), str(u"c")});
  EXPECT_EQ(array->count(), 3);
  EXPECT_EQ(array->objectAtIndex(-1), nullptr);
  EXPECT_EQ(array->objectAtIndex(3), nullptr);
  EXPECT_EQ(array->objectAtIndex(1), array->at(1));
  EXPECT_EQ(joined(*array), u"abc");
  EXPECT_THROW(array->at(3), std::out_of_range);
  EXPECT_THROW(array->at(-1), std::out_of_range);
}

TEST(TArray, InsertingAndAdding) {
  auto array = TArray::create({str(u"b")});
  array->insertObject(str(u"a"), 0);
  array->insertObject(str(u"d"), array->count());
  array->insertObject(new TString(u"c"), 2);
  EXPECT_EQ(joined(*array), u"abcd");
  EXPECT_THROW(array->insertObject(str(u"x"), 5), std::out_of_range);
  EXPECT_THROW(array->insertObject(str(u"x"), -1), std::out_of_range);
  auto raw = std::make_unique<TString>(u"kept");
  EXPECT_THROW(array->insertObject(raw.get(), 9), std::out_of_range);  // stays with the caller
  EXPECT_EQ(joined(*array), u"abcd");

  array->addObjectsFromArray(array);  // itself: unchanged
  array->addObjectsFromArray(std::shared_ptr<TArray>());
  EXPECT_EQ(joined(*array), u"abcd");
  array->addObjectsFromArray(TArray::create({str(u"e"), str(u"f")}));
  array->addObject(new TString(u"g"));
  EXPECT_EQ(joined(*array), u"abcdefg");
}

TEST(TArray, SearchingAndRemoving) {
  auto shared = str(u"x");
  auto twin = str(u"x");  // equal content, another object
  auto array = TArray::create({str(u"a"), shared, str(u"b"), shared, str(u"c")});
  EXPECT_EQ(array->indexOfObject(shared), 1);
  EXPECT_EQ(array->indexOfObject(twin), -1);
  EXPECT_FALSE(array->containsObject(twin.get()));
  EXPECT_TRUE(array->containsObject(shared.get()));

  // Only the first match goes; the elements after it stay.
  EXPECT_EQ(array->removeObject(shared), 4);
  EXPECT_EQ(joined(*array), u"abxc");
  EXPECT_EQ(array->removeObject(twin), -1);
  EXPECT_EQ(array->removeObject(static_cast<TObject*>(nullptr)), -1);
  EXPECT_EQ(array->removeObject(shared.get()), 3);
  EXPECT_EQ(joined(*array), u"abc");

  array->removeObjectAtIndex(5);
  array->removeObjectAtIndex(-1);
  EXPECT_EQ(joined(*array), u"abc");
  array->removeObjectAtIndex(1);
  EXPECT_EQ(joined(*array), u"ac");
  array->replaceObject(str(u"z"), 1);
  array->replaceObject(str(u"q"), 2);
  array->replaceObject(static_cast<TObject*>(nullptr), 0);
  EXPECT_EQ(joined(*array), u"az");
  array->removeFirstObject();
  array->removeLastObject();
  array->removeLastObject();
  EXPECT_EQ(array->count(), 0);

  // A searched array may hold empty pointers without crashing the search.
  TArray withHoles;
  withHoles.addObject(std::shared_ptr<TObject>());
  withHoles.addObject(shared);
  EXPECT_EQ(withHoles.indexOfObject(shared), 1);
}

TEST(TArray, WalksAndSorting) {
  auto array = TArray::create({str(u"c"), str(u"a"), str(u"b")});
  int calls = 0;
  array->forEachObjectWhile([&](const std::shared_ptr<TObject>&) { return ++calls < 2; });
  EXPECT_EQ(calls, 2);
  std::vector<int> indexes;
  array->forEachObjectAndIndex([&](int i, const std::shared_ptr<TObject>&) { indexes.push_back(i); });
  EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2}));
  calls = 0;
  array->forEachObjectAndIndexWhile([&](int, const std::shared_ptr<TObject>&) { return ++calls > 5; });
  EXPECT_EQ(calls, 1);

  array->sort(nullptr);
  EXPECT_EQ(joined(*array), u"cab");
  array->sort([](const std::shared_ptr<TObject>& a, const std::shared_ptr<TObject>& b) {
    return *std::static_pointer_cast<TString>(a) < *std::static_pointer_cast<TString>(b);
  });
  EXPECT_EQ(joined(*array), u"abc");
  array->clear();
  EXPECT_EQ(array->count(), 0);
}

TEST(TDictionary, KeysInUnitOrderAndLastValueWins) {
  auto dict = TDictionary::create({{TString(u"B"), str(u"1")},
                                   {TString(u"a"), str(u"2")},
                                   {TString(u"A"), str(u"3")},
                                   {TString(u"\u00E9"), str(u"4")},
                                   {TString(u"B"), str(u"5")}});
  EXPECT_EQ(dict->count(), 4);
  EXPECT_EQ(joined(*dict->allKeys()), u"ABa\u00E9");
  EXPECT_EQ(*std::static_pointer_cast<TString>(dict->objectForKey(TString(u"B"))), u"5");
  std::u16string walked;
  dict->forEachKey([&](const TString& key) { walked += *key.storage(); });
  EXPECT_EQ(walked, u"ABa\u00E9");
  int calls = 0;
  dict->forEachKeyWhile([&](const TString&) { return ++calls == 0; });
  EXPECT_EQ(calls, 1);
  calls = 0;
  dict->forEachKeyAndObjectWhile([&](const TString&, const std::shared_ptr<TObject>&) { return ++calls < 3; });
  EXPECT_EQ(calls, 3);
  // allKeys hands out copies.
  auto keys = dict->allKeys();
  std::static_pointer_cast<TString>(keys->firstObject())->append(u"!");
  EXPECT_NE(dict->find(TString(u"A")), dict->end());
}

TEST(TDictionary, EmptyValuesRemovalAndMerging) {
  TDictionary dict;
  dict.set(TString(u"none"), nullptr);
  EXPECT_EQ(dict.objectForKey(TString(u"none")), nullptr);
  EXPECT_EQ(dict.count(), 1);
  EXPECT_EQ(dict[TString(u"absent")], nullptr);

  dict.setObjectForKey(new TString(u"v"), TString(u"raw"));
  EXPECT_EQ(dict.count(), 2);
  dict.setObjectForKey(static_cast<TObject*>(nullptr), TString(u"raw"));
  dict.setObjectForKey(static_cast<TObject*>(nullptr), TString(u"absent"));
  EXPECT_EQ(dict.count(), 1);

  dict.addEntriesFromDictionary(&dict);
  dict.addEntriesFromDictionary(std::shared_ptr<TDictionary>());
  EXPECT_EQ(dict.count(), 1);
  auto other = TDictionary::create({{TString(u"none"), str(u"now")}, {TString(u"x"), str(u"y")}});
  dict.addEntriesFromDictionary(other);
  EXPECT_EQ(dict.count(), 2);
  EXPECT_EQ(dict.objectForKey(TString(u"none")), other->objectForKey(TString(u"none")));  // shared value
  dict.removeObjectForKey(TString(u"x"));
  dict.removeObjectForKey(TString(u"x"));
  EXPECT_EQ(dict.count(), 1);
  dict.removeAllObjects();
  EXPECT_EQ(dict.count(), 0);
}

TEST(TDictionary, TypedSetters) {
  TDictionary dict;
  dict.setBool(TString(u"b"), true);
  dict.setInt(TString(u"i"), -4);
  dict.setUnsignedInt(TString(u"u"), 4000000000u);
  dict.setLongLong(TString(u"ll"), -(int64_t{1} << 40));
  dict.setUnsignedLongLong(TString(u"ull"), UINT64_MAX);
  dict.setFloat(TString(u"f"), 0.5f);
  dict.setDouble(TString(u"d"), 0.25);
  dict.setString(TString(u"s8"), "\xC3\xA9");
  dict.setString(TString(u"s16"), u"w\u00E9");
  dict.setData(TString(u"data"), "xyz", 3);
  dict.setData(TString(u"nodata"), "xyz", -1);
  struct Expect {
    const char16_t* key;
    int32_t tag;
    double value;
  };
  for (const auto& e : {Expect{u"b", 1, 1}, Expect{u"i", 4, -4}, Expect{u"u", 5, 4000000000.0},
                        Expect{u"ll", 8, -1099511627776.0}, Expect{u"ull", 9, 18446744073709551615.0},
                        Expect{u"f", 10, 0.5}, Expect{u"d", 11, 0.25}}) {
    auto n = std::dynamic_pointer_cast<TNumber>(dict.objectForKey(TString(e.key)));
    ASSERT_NE(n, nullptr) << TString(e.key).utf8String();
    EXPECT_EQ(n->type(), e.tag);
    EXPECT_EQ(n->doubleValue(), e.value);
  }
  EXPECT_EQ(*std::dynamic_pointer_cast<TString>(dict.objectForKey(TString(u"s8"))), u"\u00E9");
  EXPECT_EQ(*std::dynamic_pointer_cast<TString>(dict.objectForKey(TString(u"s16"))), u"w\u00E9");
  auto data = std::dynamic_pointer_cast<Vesk::TData>(dict.objectForKey(TString(u"data")));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data->bytes()), data->length()), "xyz");
  EXPECT_EQ(std::dynamic_pointer_cast<Vesk::TData>(dict.objectForKey(TString(u"nodata")))->length(), 0u);
}

}  // namespace
