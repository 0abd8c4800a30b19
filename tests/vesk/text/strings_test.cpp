// The framework's shared text helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vesk/strings.h"

using namespace std::string_literals;

namespace {

TEST(Strings, CaseMappingTouchesOnlyAscii) {
  EXPECT_EQ(zrk::toUpper("gr\xC3\xBC\xC3\x9F" "e 1z"), "GR\xC3\xBC\xC3\x9F" "E 1Z");
  EXPECT_EQ(zrk::toLower("\xC3\x9C" "BER-Ab"), "\xC3\x9C" "ber-ab");
  std::string s = "MiX";
  zrk::toLowerInPlace(s);
  EXPECT_EQ(s, "mix");
  zrk::toUpperInPlace(s);
  EXPECT_EQ(s, "MIX");
}

TEST(Strings, ReplaceAllNeverRescansInsertedText) {
  struct Case {
    std::string text, from, to, expected;
  };
  for (const auto& c : {Case{"aaa", "a", "aa", "aaaaaa"}, Case{"aaa", "aa", "b", "ba"}, Case{"abc", "", "x", "abc"},
                        Case{"{p}-{p}", "{p}", "{p}{p}", "{p}{p}-{p}{p}"}, Case{"xyz", "q", "r", "xyz"},
                        Case{"a\0b"s, "\0"s, "0", "a0b"}}) {
    std::string text = c.text;
    zrk::replaceAll(text, c.from, c.to);
    EXPECT_EQ(text, c.expected) << c.text;
    EXPECT_EQ(zrk::replaceAllCopy(c.text, c.from, c.to), c.expected);
  }
}

TEST(Strings, EscapeJsStringReplacements) {
  struct Case {
    std::string text, expected;
  };
  for (const auto& c : {Case{"it's\"\n", "it\\'s\\\"\\n"}, Case{"\\n", "\\\\n"}, Case{"\r\f", "\\r\\f"},
                        Case{"a\xE2\x80\xA8" "b\xE2\x80\xA9", "a\\u2028b\\u2029"}, Case{"?</\t", "?</\t"},
                        Case{"\\'", "\\\\\\'"}}) {
    EXPECT_EQ(zrk::escapeJsString(c.text), c.expected) << c.text;
  }
  std::string inPlace = "\"";
  zrk::escapeJsStringInPlace(inPlace);
  EXPECT_EQ(inPlace, "\\\"");
}

// The escaped texts, placed inside single- and double-quoted literals, must read back as the
// original text in a real script engine.
TEST(Strings, EscapedTextsAreValidScriptLiterals) {
  const std::vector<std::string> texts = {
      "plain", "it's \"quoted\"", "back\\slash\\n", "lines\n\r\f\tend", "sep\xE2\x80\xA8par\xE2\x80\xA9",
      "\xC3\xA9\xF0\x9F\x98\x80", "</script>", "\\", "'\"'\"\\\\'",
  };
  char dirPattern[] = "/tmp/vesk_js_XXXXXX";
  ASSERT_NE(mkdtemp(dirPattern), nullptr);
  const std::string dir = dirPattern;
  const std::string script = dir + "/check.js";
  const std::string expectedFile = dir + "/expected.json";
  {
    std::ofstream out(script);
    out << "const fs = require('fs');\n"
        << "const expected = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));\n"
        << "const got = [\n";
    for (const auto& t : texts) {
      std::string e = zrk::escapeJsString(t);
      out << "  ['" << e << "', \"" << e << "\"],\n";
    }
    out << "];\n"
        << "let bad = 0;\n"
        << "got.forEach((pair, i) => { if (pair[0] !== expected[i] || pair[1] !== expected[i]) { bad++; "
           "console.log('mismatch ' + i); } });\n"
        << "process.exit(bad ? 1 : 0);\n";
  }
  {
    // The expected values as a JSON array of strings, each character written as \uXXXX.
    std::ofstream out(expectedFile);
    out << "[";
    for (size_t i = 0; i < texts.size(); ++i) {
      out << (i ? "," : "") << "\"";
      std::u16string units;
      const std::string& t = texts[i];
      for (size_t k = 0; k < t.size();) {
        unsigned char b = static_cast<unsigned char>(t[k]);
        char32_t cp;
        int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (int j = 1; j < n; ++j) cp = (cp << 6) | (static_cast<unsigned char>(t[k + j]) & 0x3F);
        k += static_cast<size_t>(n);
        if (cp >= 0x10000) {
          units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
          units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
          units.push_back(static_cast<char16_t>(cp));
        }
      }
      for (char16_t u : units) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
        out << buf;
      }
      out << "\"";
    }
    out << "]";
  }
  const std::string command = "node " + script + " " + expectedFile + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buf[256];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << output;
  std::remove(script.c_str());
  std::remove(expectedFile.c_str());
  rmdir(dir.c_str());
}

bool hasIdShape(const std::string& id, const std::string& prefix) {
  if (id.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = id.substr(prefix.size());
  const size_t underscore = rest.find('_');
  if (underscore == std::string::npos || underscore == 0) return false;
  if (rest.find_first_not_of("0123456789") != underscore) return false;
  const std::string part = rest.substr(underscore + 1);
  return part.size() == 6 && part[0] == '1' && part.find_first_not_of("0123456789") == std::string::npos &&
         std::stoi(part) <= 132767;
}

TEST(Strings, MakeUniqueIdKeepsItsShapeAndNeverRepeatsAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 5000;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      made[t].reserve(kPerThread);
      for (int i = 0; i < kPerThread; ++i) made[t].push_back(zrk::makeUniqueId("window_"));
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& list : made) {
    for (const auto& id : list) {
      ASSERT_TRUE(hasIdShape(id, "window_")) << id;
      all.insert(id);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_TRUE(hasIdShape(zrk::makeUniqueId(""), ""));
}

TEST(Strings, ResultChecks) {
  constexpr zrk::HRESULT kFail = static_cast<zrk::HRESULT>(0x80004005u);
  constexpr zrk::HRESULT kAccessDenied = static_cast<zrk::HRESULT>(0x80070005u);
  EXPECT_FALSE(zrk::checkHResult(kFail, u"navigate", false));
  EXPECT_TRUE(zrk::checkHResult(1, u"navigate", false));  // S_FALSE is a success
  EXPECT_TRUE(zrk::checkHResult(0, nullptr, true));

  testing::internal::CaptureStderr();
  EXPECT_TRUE(zrk::checkHResult(kFail, nullptr, true));
  zrk::checkFailure(0, u"not written");
  zrk::checkFailure(kAccessDenied, u"navigate");
  zrk::checkFailure(kFail, u"Failure at \"/src/w\u00E9b.cpp\"(12)");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "something wrong\nnavigate: 0x80070005\nFailure at \"/src/w\xC3\xA9" "b.cpp\"(12): 0x80004005\n");
}

}  // namespace
