// The bundle the build packs from pages/, loaded with the keys compiled into the program.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "src/resource-bundle.h"
#include "vesk/tdata.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(BuiltBundle, LoadsWithTheProgramsKeysOnlyOnceTheVerifierIsInstalled) {
  // The compiled-in payload key is the one the build's key folder holds.
  uint8_t key[32] = {};
  bundleKey(key);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(key), 32),
            readFile(PEL_BUNDLE_KEY_DIR "/payload.key"));

  // Nothing verifies before the hook is installed: not loaded, store untouched.
  BundleStore::put("before", "kept");
  EXPECT_FALSE(loadResourceBundle(PEL_BUNDLE_FILE, "morapel"));
  ASSERT_NE(BundleStore::get("before"), nullptr);
  EXPECT_EQ(BundleStore::size(), 1u);

  installSignatureVerifier();
  installSignatureVerifier();  // later calls change nothing
  ASSERT_TRUE(loadResourceBundle(PEL_BUNDLE_FILE, "morapel"));
  EXPECT_EQ(BundleStore::get("before"), nullptr);
  for (const char* page : {"main.w", "viewer.w", "editor.w", "print.w"}) {
    const std::string* bytes = BundleStore::get(page);
    ASSERT_NE(bytes, nullptr) << page;
    EXPECT_EQ(bytes->rfind("<!DOCTYPE html>", 0), 0u) << page;
    EXPECT_EQ(*bytes, readFile(std::string(PEL_SOURCE_ROOT "/pages/") + page)) << page;
  }

  // The program's public key is the key folder's: a key text of another pair fails the same file.
  setVerifyKey(readFile(PEL_BUNDLE_KEY_DIR "/verify-key.pem").c_str());
  EXPECT_TRUE(loadResourceBundle(PEL_BUNDLE_FILE, "morapel"));
  setVerifyKey("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
  EXPECT_FALSE(loadResourceBundle(PEL_BUNDLE_FILE, "morapel"));
  EXPECT_NE(BundleStore::get("main.w"), nullptr);
}

}  // namespace
