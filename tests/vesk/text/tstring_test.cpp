// The string class: construction, ordering, searching, slicing, editing and paths.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "vesk/tstring.h"
#include "print.h"

using Vesk::TString;
using Vesk::WString;
using namespace std::string_literals;

namespace {

TEST(TString, ConstructionAndAssignment) {
  EXPECT_TRUE(TString().isEmpty());
  EXPECT_EQ(TString(u"abc", 2), u"ab");
  EXPECT_TRUE(TString(static_cast<const char16_t*>(nullptr)).isEmpty());
  EXPECT_EQ(TString(u'\0').length(), 1u);
  EXPECT_EQ(TString(std::string("\xC3\xA9t\xC3\xA9")), u"\u00E9t\u00E9");
  EXPECT_TRUE(TString(Vesk::TObject()).isEmpty());  // the library's coders decode nothing

  TString s(u"abc");
  s = static_cast<const char16_t*>(nullptr);
  EXPECT_TRUE(s.isEmpty());
  s = "\xC3\xA9";  // narrow text is UTF-8
  EXPECT_EQ(s, u"\u00E9");
  s = u'\0';
  EXPECT_EQ(s.length(), 1u);
  s = s;  // NOLINT: self-assignment keeps the text
  EXPECT_EQ(s.length(), 1u);

  TString t(u"x");
  t += u'\0';  // appends nothing
  t += u"y";
  t += "z";
  t += static_cast<const char*>(nullptr);
  t += TString(WString(u"1\0" "2"s));  // stops at the other's NUL
  EXPECT_EQ(t, u"xyz1");
  EXPECT_EQ(TString(u"a") + TString(u"b") + u"c", u"abc");
  t.assign(u"hello", 4);
  EXPECT_EQ(t, u"hell");
  t.append(u"oooo", 1);
  EXPECT_EQ(t, u"hello");
  t.clear();
  EXPECT_TRUE(t.isEmpty());
}

TEST(TString, MovedFromIsAValidEmptyString) {
  TString source(u"text");
  TString target(std::move(source));
  EXPECT_EQ(target, u"text");
  EXPECT_TRUE(source.isEmpty());  // NOLINT(bugprone-use-after-move)
  source += u"again";
  EXPECT_EQ(source, u"again");
  TString other;
  other = std::move(source);
  EXPECT_TRUE(source.isEmpty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(source.c_str()[0], u'\0');
}

TEST(TString, OrderingIsUnsignedUnitOrder) {
  struct Case {
    WString a, b;
  };  // a orders strictly before b
  const Case cases[] = {
      {u"A", u"B"},
      {u"ab", u"abc"},
      {u"", u"a"},
      {u"z", u"\u00E9"},
      {u"Z", u"a"},
      {u"\U0001F600", u"\uE000"},  // a surrogate pair orders before U+E000..U+FFFF
      {u"\U0001F600", u"\uFFFF"},
      {u"\u7FFF", u"\u8000"},      // no sign trouble at the top bit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(TString(c.a).utf8String() + " < " + TString(c.b).utf8String());
    TString a(c.a), b(c.b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_EQ(a.compare(std::make_shared<TString>(b)), -1);
    EXPECT_EQ(b.compare(std::make_shared<TString>(a)), 1);
    EXPECT_EQ(a.compare(std::make_shared<TString>(a)), 0);
    EXPECT_LT(a.compareText(c.b.c_str()), 0);
  }
  // A map keyed by strings follows the same order.
  std::map<TString, int> keys{{TString(u"\u00E9"), 3}, {TString(u"z"), 2}, {TString(u"Z"), 1}};
  int expected = 1;
  for (const auto& [key, value] : keys) EXPECT_EQ(value, expected++);
}

TEST(TString, CompareRejectsOtherObjects) {
  TString s(u"a");
  for (const std::shared_ptr<Vesk::TObject>& other :
       {std::shared_ptr<Vesk::TObject>(std::make_shared<Vesk::TNull>()), std::shared_ptr<Vesk::TObject>()}) {
    try {
      s.compare(other);
      ADD_FAILURE() << "no throw";
    } catch (const char16_t* text) {
      EXPECT_EQ(WString(text), u"Not a TString object!");
    }
  }
}

TEST(TString, TextComparisonsAndHash) {
  TString s(u"Hello");
  EXPECT_EQ(s.compareText(u"Hello"), 0);
  EXPECT_EQ(s.compareText(u"Hello!"), -1);
  EXPECT_EQ(s.compareText(u"Hell"), 1);
  EXPECT_EQ(s.compareTextIgnoringCase(u"hELLO"), 0);
  EXPECT_LT(s.compareTextIgnoringCase(u"help"), 0);
  EXPECT_NE(TString(u"\u00C9").compareTextIgnoringCase(u"\u00E9"), 0);  // only ASCII folds
  EXPECT_TRUE(s == u"Hello");
  EXPECT_TRUE(s != u"Hell");
  EXPECT_TRUE(s == "Hello");
  // FNV-1a 64 over the bytes, low byte first: "a" is the bytes 61 00.
  EXPECT_EQ(TString().hash(), 14695981039346656037ULL);
  EXPECT_EQ(TString(u"a").hash(), 0x089be207b544f1e4ULL);
  EXPECT_NE(TString(u"\u0100").hash(), TString(u"\u0001").hash());
}

TEST(TString, AccessAndBounds) {
  TString s(u"ab\U0001F600");
  EXPECT_EQ(s.length(), 4u);
  EXPECT_EQ(s.byteLength(), 8u);
  EXPECT_EQ(s.characterAtIndex(1), u'b');
  for (int64_t bad : {int64_t{-1}, int64_t{4}, int64_t{1} << 40}) {
    try {
      s.characterAtIndex(bad);
      ADD_FAILURE() << bad;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "invalid string position");
    }
  }
  s.setCharacterAtIndex(4, u'!');
  s.setCharacterAtIndex(0, u'A');
  EXPECT_EQ(s, u"Ab\U0001F600!");
  EXPECT_THROW(s.setCharacterAtIndex(6, u'x'), std::out_of_range);
  EXPECT_EQ(TString(WString(u"ab\0c"s)).toWString(), u"ab");
}

TEST(TString, SearchingAndSlicing) {
  const TString abc(u"abc");
  struct FindCase {
    const char16_t* needle;
    size_t from;
    int64_t expected;
  };
  for (const auto& c : {FindCase{u"", 3, 3}, FindCase{u"", 4, -1}, FindCase{u"bc", 0, 1}, FindCase{u"bc", 2, -1},
                        FindCase{u"abcd", 0, -1}, FindCase{u"a", 0, 0}}) {
    EXPECT_EQ(abc.find(c.needle, c.from), c.expected) << c.from;
  }
  EXPECT_EQ(abc.findCharacter(u'c', 3), -1);
  EXPECT_EQ(abc.findCharacter(u'c', 1), 2);
  EXPECT_EQ(TString().findCharacter(u'a'), -1);
  EXPECT_EQ(TString(u"a/b/c").lastIndexOfCharacter(u'/'), 3);
  EXPECT_EQ(TString().lastIndexOfCharacter(u'/'), -1);

  struct SliceCase {
    TString result;
    const char16_t* expected;
  };
  const SliceCase slices[] = {
      {abc.substring(1), u"bc"},       {abc.substring(5, 2), u""},  {abc.substring(3), u""},
      {abc.substring(0, 0), u""},      {abc.substring(1, 10), u"bc"}, {abc.substring(0, -5), u"abc"},
      {abc.left(2), u"ab"},            {abc.left(10), u"abc"},       {abc.right(10), u"abc"},
      {abc.right(1), u"c"},            {abc.right(0), u""},
      {TString(WString(u"ab\0cd"s)).substring(1), u"b"},  // slices end at a NUL inside them
  };
  for (const auto& c : slices) EXPECT_EQ(c.result, c.expected);
}

TEST(TString, HasSuffixIsTheUsualTest) {
  struct Case {
    const char16_t* text;
    const char16_t* suffix;
    bool expected;
  };
  for (const auto& c : {Case{u"abc", u"abc", true}, Case{u"abc", u"bc", true}, Case{u"abc", u"", true},
                        Case{u"", u"", true}, Case{u"bc", u"abc", false}, Case{u"abc", u"ab", false}}) {
    EXPECT_EQ(TString(c.text).hasSuffix(TString(c.suffix)), c.expected)
        << TString(c.text).utf8String() << " / " << TString(c.suffix).utf8String();
  }
}

TEST(TString, EditingInPlace) {
  struct ReplaceCase {
    const char16_t* text;
    const char16_t* target;
    const char16_t* replacement;
    const char16_t* expected;
    int count;
  };
  for (const auto& c : {ReplaceCase{u"aaa", u"aa", u"b", u"ba", 1}, ReplaceCase{u"aaa", u"a", u"aa", u"aaaaaa", 3},
                        ReplaceCase{u"abc", u"", u"x", u"abc", 0}, ReplaceCase{u"abab", u"ab", u"", u"", 2},
                        ReplaceCase{u"x.y.z", u".", u"::", u"x::y::z", 2}}) {
    TString s(c.text);
    EXPECT_EQ(s.replaceAll(c.target, c.replacement), c.count);
    EXPECT_EQ(s, c.expected);
  }
  TString self(u"abab");
  EXPECT_EQ(self.replaceAll(self.c_str(), u"x"), 1);  // a target that points into the string itself
  EXPECT_EQ(self, u"x");

  TString s(u"MiXed \u00C9 42");
  s.lowercase();
  EXPECT_EQ(s, u"mixed \u00C9 42");
  s.uppercase();
  EXPECT_EQ(s, u"MIXED \u00C9 42");

  struct StripCase {
    const char16_t* text;
    const char16_t* leading;
    const char16_t* trailing;
  };
  for (const auto& c : {StripCase{u"   ", u"   ", u"   "}, StripCase{u"  a", u"a", u"  a"},
                        StripCase{u"a  ", u"a  ", u"a"}, StripCase{u"", u"", u""}}) {
    TString l(c.text), t(c.text);
    l.stripLeading(u' ');
    t.stripTrailing(u' ');
    EXPECT_EQ(l, c.leading);
    EXPECT_EQ(t, c.trailing);
  }

  EXPECT_EQ(TString(u"plain").quotedIfNeeded(), u"plain");
  EXPECT_EQ(TString(u"a,b").quotedIfNeeded(), u"\"a,b\"");
  EXPECT_EQ(TString(u"line\nbreak").quotedIfNeeded(), u"\"line\nbreak\"");
  EXPECT_EQ(TString(u"say \"hi\"").quotedIfNeeded(), u"\"say \"\"hi\"\"\"");
}

TEST(TString, PathOperations) {
  struct Case {
    const char16_t* path;
    const char16_t* last;
    const char16_t* parent;
    const char16_t* extension;
    const char16_t* withoutExtension;
  };
  const Case cases[] = {
      {u"/home/u/b.txt", u"b.txt", u"/home/u", u"txt", u"/home/u/b"},
      {u"/dir.old/file", u"file", u"/dir.old", u"", u"/dir.old/file"},  // the dot is in a folder
      {u"name", u"name", u"", u"", u"name"},
      {u"archive.tar.gz", u"archive.tar.gz", u"", u"gz", u"archive.tar"},
      {u"/a/.hidden", u".hidden", u"/a", u"hidden", u"/a/"},
      {u"/a/b/", u"", u"/a/b", u"", u"/a/b/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(TString(c.path).utf8String());
    TString p(c.path);
    EXPECT_EQ(p.lastPathComponent(), c.last);
    EXPECT_EQ(p.deletingLastPathComponent(), c.parent);
    EXPECT_EQ(p.pathExtension(), c.extension);
    EXPECT_EQ(p.deletingPathExtension(), c.withoutExtension);
  }
  EXPECT_EQ(TString(u"C:\\a\\b.txt").lastPathComponent(u'\\'), u"b.txt");

  EXPECT_EQ(TString(u"/a/").stringByAppendingPathComponent(TString(u"/b")), u"/a/b");
  EXPECT_EQ(TString(u"/a").stringByAppendingPathComponent("b"), u"/a/b");
  EXPECT_EQ(TString().stringByAppendingPathComponent(std::string("b")), u"b");
  EXPECT_EQ(TString(u"/a").stringByAppendingPathComponent(TString(u"//b")), u"/a//b");  // one separator dropped
  EXPECT_EQ(TString(u"C:\\a").stringByAppendingPathComponent(TString(u"b"), u'\\'), u"C:\\a\\b");
  EXPECT_EQ(TString(u"file").stringByAppendingPathExtension("png"), u"file.png");
  EXPECT_EQ(TString(u"file").stringByAppendingPathExtension(TString()), u"file.");
}

}  // namespace
