// The text-file reader ("read_n_lines") over byte fixtures, and the line readers
// ("readline_open", "readline_next", "readline_close").
#include "fs_test_support.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-lines.h"

namespace {

using namespace fstest;
using Lines = std::vector<std::string>;

std::string utf16le(const std::u16string& text, bool bom) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::string utf16be(const std::u16string& text, bool bom) {
  std::string out = bom ? "\xFE\xFF" : "";
  for (char16_t c : text) {
    out += static_cast<char>(c >> 8);
    out += static_cast<char>(c & 0xFF);
  }
  return out;
}

std::string utf32(const std::u32string& text, bool little) {
  std::string out = little ? std::string("\xFF\xFE\0\0", 4) : std::string("\0\0\xFE\xFF", 4);
  for (char32_t c : text) {
    for (int i = 0; i < 4; ++i) {
      const int shift = little ? 8 * i : 8 * (3 - i);
      out += static_cast<char>((c >> shift) & 0xFF);
    }
  }
  return out;
}

struct Fixture {
  const char* name;
  std::string bytes;
  int count;
  bool fromEnd;
  bool skipBlank;
  bool trim;
  bool crlf2lf;
  Lines lines;
};

class FsLines : public TempFolder {};

TEST_F(FsLines, FixturesFromEitherEnd) {
  const std::string five = "1\n2\n3\n4\n5";
  const std::string lone = utf16le(u"a", true) + std::string("\x00\xD8", 2) + utf16le(u"b\n", false);
  const Fixture fixtures[] = {
      {"lf start", "a\nb\n", 10, false, false, false, true, {"a", "b"}},
      {"lf end", "a\nb\n", 10, true, false, false, true, {"a", "b", ""}},
      {"lf end skip", "a\nb\n", 10, true, true, false, true, {"a", "b"}},
      {"crlf start", "a\r\nb", 10, false, false, false, false, {"a", "b"}},
      {"crlf end", "a\r\nb", 10, true, false, false, false, {"a", "b"}},
      {"crlf end crlf2lf", "a\r\nb", 10, true, false, false, true, {"a", "b"}},
      {"five start", five, 2, false, false, false, true, {"1", "2"}},
      {"five end", five, 2, true, false, false, true, {"4", "5"}},
      {"five lf end", five + "\n", 2, true, false, false, true, {"5", ""}},
      {"utf-8 bom start", "\xEF\xBB\xBFhi\nthere", 10, false, false, false, true, {"hi", "there"}},
      {"utf-8 bom end", "\xEF\xBB\xBFhi\nthere", 10, true, false, false, true, {"hi", "there"}},
      {"blanks skipped when trimmed", "   \nx", 10, false, true, true, true, {"x"}},
      {"blanks kept untrimmed", "   \nx", 10, false, true, false, true, {"   ", "x"}},
      {"trim", " \tx \r\n y", 10, true, false, true, true, {"x", "y"}},
      {"one byte", "a", 10, false, false, false, true, {"a"}},
      {"one byte end", "a", 10, true, false, false, true, {"a"}},
      {"two bytes", "a\n", 10, false, false, false, true, {"a"}},
      {"three bytes end", "ab\n", 10, true, false, false, true, {"ab", ""}},
      {"three bytes start", "ab\n", 10, false, false, false, true, {"ab"}},
      {"empty", "", 10, false, false, false, true, {}},
      {"empty end", "", 10, true, false, false, true, {}},
      {"negative count", "a\nb", -1, false, false, false, true, {}},
      {"utf-16le crlf end", utf16le(u"x\r\ny\r\n", true), 10, true, false, false, true, {"x", "y"}},
      {"utf-16le crlf end kept", utf16le(u"x\r\ny\r\n", true), 10, true, false, false, false,
       {"x\r", "y\r"}},
      {"utf-16le crlf start", utf16le(u"x\r\ny\r\n", true), 10, false, false, false, true,
       {"x", "y", ""}},
      {"utf-16be bom", utf16be(u"h\u00e9\nw", true), 10, false, false, false, true, {"h\xC3\xA9", "w"}},
      {"utf-16be no bom", utf16be(u"abcdefghijkl\ncd", false), 10, false, false, false, true,
       {"abcdefghijkl", "cd"}},
      {"utf-16le no bom end", utf16le(u"abcdefghijkl\ncd", false), 10, true, false, false, true,
       {"abcdefghijkl", "cd"}},
      {"short utf-16 without bom is binary", utf16le(u"ab\ncd", false), 10, false, false, false,
       true, {}},
      {"utf-16 pair start", utf16le(u"\U0001F600\n", true), 1, false, false, false, true,
       {"\xF0\x9F\x98\x80"}},
      {"utf-16 pair end", utf16le(u"\U0001F600\n", true), 1, true, false, false, true,
       {"\xF0\x9F\x98\x80"}},
      {"lone surrogate start", lone, 1, false, false, false, true, {"a?b"}},
      {"lone surrogate end", lone, 1, true, false, false, true, {"a?b"}},
      {"utf-32le", utf32(U"ab\nc", true), 10, false, false, false, true, {"ab", "c"}},
      {"utf-32be end", utf32(U"ab\nc\U0001F600", false), 10, true, false, false, true,
       {"ab", "c\xF0\x9F\x98\x80"}},
      {"utf-32 beyond range", utf32(std::u32string(1, char32_t(0x110000)) + U"x", true), 10, false,
       false, false, true, {"?x"}},
      {"binary", "\xC3" "A plain text", 10, false, false, false, true, {}},
      {"controls", std::string("ab\x01\x02\x03\x04\x05\x06\x07\x08\x0B\x0C" "abcdefghijklmnopqrstuvwxyzabcd"), 10, false,
       false, false, true, {}},
  };
  for (const auto& f : fixtures) {
    writeAll(at("f"), f.bytes);
    EXPECT_EQ(zrk::plugin::readLines(at("f"), f.count, f.fromEnd, f.skipBlank, f.trim, f.crlf2lf),
              f.lines)
        << f.name;
  }
}

TEST_F(FsLines, LongFilesAcrossBlocks) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\r\n";
  writeAll(at("long"), text);
  EXPECT_EQ(zrk::plugin::readLines(at("long"), 2, true, true, false, true),
            (Lines{"line 4998", "line 4999"}));
  EXPECT_EQ(zrk::plugin::readLines(at("long"), 5000, true, true, false, true).front(), "line 0");
  std::u16string wide;
  for (int i = 0; i < 3000; ++i) wide += u"w\u00e9 " + std::u16string(1, char16_t(u'0' + i % 10)) + u"\n";
  writeAll(at("wide"), utf16le(wide, true));
  const Lines last = zrk::plugin::readLines(at("wide"), 3, true, true, false, true);
  EXPECT_EQ(last, (Lines{"w\xC3\xA9 7", "w\xC3\xA9 8", "w\xC3\xA9 9"}));
  EXPECT_EQ(zrk::plugin::readLines(at("wide"), 3000, true, true, false, true).size(), 3000u);
}

TEST(FsTextTest, SamplesAndEncodings) {
  auto text = [](const std::string& s) {
    return zrk::plugin::isTextSample(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  EXPECT_TRUE(text(""));
  EXPECT_TRUE(text("\xFF\xFE"));
  EXPECT_TRUE(text("caf\xC3\xA9"));
  EXPECT_FALSE(text("caf\xC3"));  // the sequence runs past the sample
  EXPECT_FALSE(text("caf\xE9 au lait"));
  EXPECT_FALSE(text(std::string("\x01\x02\x03" "abcdefghijk")));
  EXPECT_TRUE(text(utf16le(u"plain ascii text as utf-16", false)));
  EXPECT_FALSE(text(std::string(20, '\0') + "ab"));

  auto detect = [](const std::string& s) {
    return zrk::plugin::detectTextEncoding(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  EXPECT_EQ(detect("a").name, "UTF-8");
  EXPECT_EQ(detect("").name, "UTF-8");
  EXPECT_EQ(detect("ab\n").name, "UTF-8");
  EXPECT_EQ(detect(std::string("\0a", 2)).name, "UTF-16BE");
  EXPECT_EQ(detect(std::string("a\0b\0", 4)).name, "UTF-16LE");
  EXPECT_EQ(detect(std::string("\xFF\xFE\0\0", 4)).name, "UTF-32LE");
  EXPECT_EQ(detect(std::string("\0\0\xFE\xFF", 4)).name, "UTF-32BE");
  EXPECT_EQ(detect("\xEF\xBB\xBF").bomLength, 3);
}

TEST_F(FsLines, ReadNLinesCommand) {
  writeAll(at("f"), "a\r\n\r\nb\r\n");
  EXPECT_EQ(call("read_n_lines", {{"path", at("missing")}}).body, "[]");
  EXPECT_EQ(call("read_n_lines", {{"path", at("missing")}, {"lines", 5}}).body, "[]");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", -1}}).body, "[]");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", 5000000000ll}}).body, "[]");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", 10}}).body, R"(["a","","b"])");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", 10}, {"skip_blank_line", true}}).body,
            R"(["a","b"])");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", 2.9}, {"from_end", true}}).body,
            R"(["b",""])");
  EXPECT_EQ(call("read_n_lines", {{"path", at("f")}, {"lines", 10}}).type, "application/json");
  // Bytes that are not UTF-8 past the binary test's sample come back as U+FFFD.
  writeAll(at("latin"), std::string(1100, 'a') + "\ncaf\xE9\n");
  EXPECT_EQ(call("read_n_lines", {{"path", at("latin")}, {"lines", 1}, {"from_end", true},
                                  {"skip_blank_line", true}})
                .body,
            "[\"caf\xEF\xBF\xBD\"]");
  // Latin-1 at the start is judged binary.
  writeAll(at("latin-start"), "caf\xE9\n");
  EXPECT_EQ(call("read_n_lines", {{"path", at("latin-start")}, {"lines", 1}}).body, "[]");
}

class FsReadline : public TempFolder {
 protected:
  uint64_t open(const std::string& bytes) {
    writeAll(at("r"), bytes);
    const Reply reply = call("readline_open", {{"path", at("r")}});
    EXPECT_EQ(reply.status, 200) << reply.text;
    return reply.status == 200 ? std::stoull(reply.body) : 0;
  }
  Lines drain(uint64_t id, const json& options) {
    Lines out;
    for (int i = 0; i < 100; ++i) {
      const Reply reply = call("readline_next", {{"rid", id}, {"options", options}});
      if (reply.status != 200) {
        out.push_back("error: " + reply.text);
        break;
      }
      const json step = json::parse(reply.body);
      out.push_back(step[0].get<std::string>() + (step[1] == 1 ? "|end" : ""));
      if (step[1] == 1) break;
    }
    return out;
  }
};

TEST_F(FsReadline, LinesAndPieces) {
  const std::string hello = "hello\nworld";
  EXPECT_EQ(drain(open(hello), json::object()), (Lines{"hello", "world|end"}));
  EXPECT_EQ(drain(open(hello), {{"includeLineBreak", true}}), (Lines{"hello\n", "world|end"}));
  EXPECT_EQ(drain(open(hello), {{"maxCharacters", 3}}), (Lines{"hel", "lo", "wor", "ld|end"}));
  EXPECT_EQ(drain(open(hello), {{"maxCharacters", 0}}), (Lines{"hello", "world|end"}));
  EXPECT_EQ(drain(open(hello), {{"maxCharacters", -3}}), (Lines{"hello", "world|end"}));
  EXPECT_EQ(drain(open("x\r\ny\r\n"), json::object()), (Lines{"x", "y", "|end"}));
  EXPECT_EQ(drain(open("lone\rcr\r"), json::object()), (Lines{"lone\rcr\r|end"}));
  EXPECT_EQ(drain(open(std::string("a\x1A" "b\n", 4)), json::object()), (Lines{"a\x1A" "b", "|end"}));
  // A two-byte character never splits across pieces.
  EXPECT_EQ(drain(open("a\xC3\xA9z\nb"), {{"maxCharacters", 2}}),
            (Lines{"a", "\xC3\xA9", "z", "b|end"}));
  EXPECT_EQ(drain(open("\xC3\xA9\xC3\xA9"), {{"maxCharacters", 1}}),
            (Lines{"\xC3\xA9", "\xC3\xA9", "|end"}));
  EXPECT_EQ(drain(open("ab\xC3\xA9"), {{"maxCharacters", 3}}), (Lines{"ab", "\xC3\xA9|end"}));
  // Bytes that are not UTF-8 come back replaced, and the reader goes on.
  EXPECT_EQ(drain(open("a\xFF" "b\nc"), json::object()), (Lines{"a\xEF\xBF\xBD" "b", "c|end"}));
}

TEST_F(FsReadline, TheEndClosesTheReader) {
  const uint64_t id = open("only");
  EXPECT_EQ(call("readline_next", {{"rid", id}}).body, R"(["only",1])");
  EXPECT_EQ(call("readline_next", {{"rid", id}}).text,
            "Could not find resouce (" + std::to_string(id) + ")");
  const uint64_t again = open("x\ny");
  EXPECT_EQ(again, id);  // the id came back
  EXPECT_EQ(call("readline_close", {{"rid", again}}).body, "true");
  EXPECT_EQ(call("readline_close", {{"rid", again}}).body, "true");
  EXPECT_EQ(call("readline_next", json::object()).text, "Invalid resouce id (0)");
}

TEST_F(FsReadline, OpenFailures) {
  EXPECT_EQ(call("readline_open", json::object()).text, "Path not specified.");
  EXPECT_EQ(call("readline_open", {{"path", at("missing")}}).text, "Can't open file. (2)");
  EXPECT_EQ(call("readline_open", {{"path", root}}).text, "Can't open file. (21)");
}

}  // namespace
