// Shared by the loader and handler tests: a throw-away key set installed as the verification key,
// and helpers that write bundles of any shape into a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/resource-bundle.h"
#include "tools/bundler/keys.h"
#include "tools/bundler/writer.h"
#include "vesk/tdata.h"

namespace bundletest {

inline const pelbundle::KeySet& testKeys() {
  static const pelbundle::KeySet keys = pelbundle::generateKeySet();
  return keys;
}

inline const pelbundle::KeySet& otherKeys() {
  static const pelbundle::KeySet keys = pelbundle::generateKeySet();
  return keys;
}

inline std::shared_ptr<Vesk::TData> testKey() {
  const std::string& k = testKeys().payloadKey;
  return std::make_shared<Vesk::TData>(k.data(), k.size());
}

// The store's whole content, for comparisons.
inline std::map<std::string, std::string> storeContent(const std::vector<std::string>& names) {
  std::map<std::string, std::string> out;
  for (const auto& name : names) {
    if (const std::string* bytes = BundleStore::get(name)) out[name] = *bytes;
  }
  return out;
}

class BundleFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    installSignatureVerifier();
    setVerifyKey(testKeys().verifyKeyPem.c_str());
  }

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pel-bundle-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    BundleStore::clear();
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    BundleStore::clear();
  }

  std::string writeBytes(const std::string& fileName, const std::string& bytes) {
    std::string path = (dir_ / fileName).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // A sound bundle of the entries, written to a file; its path.
  std::string writeBundle(const std::string& fileName, std::vector<pelbundle::Entry> entries) {
    auto image = pelbundle::makeBundleImage(std::move(entries), testKeys().signingKeyPem,
                                            pelbundle::randomIv());
    return writeBytes(fileName, pelbundle::serializeBundle(image, testKeys().payloadKey));
  }

  bool load(const std::string& path) { return loadResourceBundleWithKey(path, testKey()); }

  std::filesystem::path dir_;
};

}  // namespace bundletest
