#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "scripts/page_scripts.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

struct Script {
  const char* file;
  const std::string& (*get)();
  size_t placeholders;  // occurrences of each of the two placeholders
};

TEST(PageScripts, EmbeddedBytesEqualTheJoinedFiles) {
  const Script scripts[] = {{"init-env.js", &zrk::buildBootstrapScript, 2},
                            {"bridge.js", &zrk::buildBridgeScript, 0}};
  for (const Script& s : scripts) {
    SCOPED_TRACE(s.file);
    const std::string& text = s.get();
    EXPECT_EQ(text, readFile(std::string(PEL_SCRIPTS_DIR) + "/" + s.file));
    EXPECT_FALSE(text.empty());
    for (unsigned char c : text) {
      ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\n')) << "byte " << int(c);
    }
    EXPECT_EQ(countOf(text, "{URI_SCHEME}"), s.placeholders);
    EXPECT_EQ(countOf(text, "{URI_DOMAIN}"), s.placeholders);
    EXPECT_EQ(countOf(text, "{URI_SCHEME}://{URI_DOMAIN}"), s.placeholders);
  }
}

TEST(PageScripts, OneStringPerProcess) {
  const std::string* fromThread[2] = {};
  std::thread a([&] { fromThread[0] = &zrk::buildBootstrapScript(); });
  std::thread b([&] { fromThread[1] = &zrk::buildBridgeScript(); });
  a.join();
  b.join();
  EXPECT_EQ(fromThread[0], &zrk::buildBootstrapScript());
  EXPECT_EQ(fromThread[1], &zrk::buildBridgeScript());
}

}  // namespace
