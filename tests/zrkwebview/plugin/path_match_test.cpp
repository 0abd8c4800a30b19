#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zrkwebview/browser/src/http/request-router.h"

namespace {

TEST(MatchPathPattern, Table) {
  struct Case {
    const char* pattern;
    const char* text;
    long expected;
  } cases[] = {
      {"/plugin", "/plugin?name=window&event=create", 7},
      {"/plugin", "/plugins", 7},
      {"/plugin", "/PLUGIN", 7},
      {"/plugin", "/plug", -1},
      {"/plugin", "/other", -1},
      {"", "/x", 0},
      {"/a|/b", "/b/c", 2},
      {"/a|/b", "/a/c", 2},
      {"/a|/b|/c", "/c", 2},
      {"/a|/b", "/d", -1},
      {"|/b", "/b", 2},
      {"/img/*.png", "/img/x.png", 10},
      {"/img/*.png", "/img/sub/x.png", -1},
      {"/img/**.png", "/img/sub/x.png", 14},
      {"/img/*", "/img/abc/def", 8},
      {"/img/**", "/img/abc/def", 12},
      {"/img/*x", "/img/axbx/", 9},  // the longest run that lets the rest match
      {"/*/b", "/a/b", 4},
      {"/*/b", "//b", 3},
      {"/exact$", "/exact", 6},
      {"/exact$", "/exact/more", -1},
      {"/fil?", "/file", 5},
      {"/fil?", "/fil", -1},
      {"/x*$", "/xyz", 4},
      {"/x*$", "/xy/z", -1},
      {"/A?C", "/abc", 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http::matchPathPattern(c.pattern, std::strlen(c.pattern), c.text), c.expected)
        << c.pattern << " on " << c.text;
  }
  // Only the first n characters of the pattern count.
  EXPECT_EQ(http::matchPathPattern("/abc|/x", 3, "/ab"), 3);
}

TEST(MatchHandlerPath, Table) {
  struct Case {
    const char* route;
    const char* handler;
    bool claimed;
  } cases[] = {
      {"/plugin?name=window&event=create", "/plugin", true},  // pattern test only
      {"/plugin", "/plugin", true},
      {"/asset/img.png", "/asset", true},
      {"/assets/x", "/asset", true},
      {"/ASSET/img.png", "/asset", true},
      {"/localfile?path=/a", "/localfile", true},
      {"/other", "/asset", false},
      {"/", "/", true},
      {"/x", "", true},   // slash test
      {"/", "", false},   // neither the slash test nor the (empty) pattern
      {"", "", true},     // equal
      {"https://.app.local/index.html", "/asset", false},
      {"/a/b", nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http::matchHandlerPath(c.route, c.handler), c.claimed)
        << (c.handler ? c.handler : "(null)") << " for " << c.route;
  }
}

TEST(RoutePath, OnlyTheLeadingHostIsRemoved) {
  const std::string prefix = "https://app.local";
  const std::pair<std::string, std::string> cases[] = {
      {"https://app.local/plugin?name=window&event=create", "/plugin?name=window&event=create"},
      {"https://app.local/x?u=https://app.local/y", "/x?u=https://app.local/y"},
      {"https://app.local", ""},
      {"https://app.local?x", "?x"},
      {"https://app.localhost/x", "https://app.localhost/x"},
      {"https://.app.local/index.html", "https://.app.local/index.html"},
      {"http://app.local/x", "http://app.local/x"},
      {"HTTPS://APP.LOCAL/x", "HTTPS://APP.LOCAL/x"},
  };
  for (const auto& [uri, path] : cases) EXPECT_EQ(http::routePath(uri, prefix), path) << uri;
}

}  // namespace
