// The resource bundle "resource.dat": the signed, encrypted and compressed file that carries every
// page, script, style sheet and image of the user interface (its layout: tools/bundler/
// bundle-format.h). The loader checks it and fills the process-wide BundleStore, out of which the
// bundle handler answers page requests.
//
// Start-up order: installSignatureVerifier(), then loadResourceBundle(path, "morapel"), once, before
// any request is served.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Vesk {
class TData;
}

// Reads the bundle at `path` (UTF-8) and, when its header, entry table, signature and payload all
// check out, replaces the store's content with its entries; true then. On any failure the store
// keeps what it held. A missing file, one shorter than the header or with the wrong magic logs
// "Invalid resource file header." at error level; other failures log nothing. `name` is not
// interpreted.
bool loadResourceBundle(const std::string& path, const std::string& name);
// The same with a given 32-byte payload key in place of the program's own (tests, tools).
bool loadResourceBundleWithKey(const std::string& path, const std::shared_ptr<Vesk::TData>& key);

// Fills 32 bytes with the payload key.
void bundleKey(uint8_t* buffer);

// The bundle's entries by name (bytes compared exactly), behind one mutex.
class BundleStore {
 public:
  // Stores a copy of the bytes, replacing an entry of the same name.
  static void put(const std::string& name, const std::string& bytes);
  // The stored bytes, or null. The pointer stays valid until the entry is replaced or the store
  // is cleared; the store does not change once requests are served.
  static const std::string* get(const std::string& name);
  static void clear();
  // Puts a complete new content in place at once (the loader's last step).
  static void replaceAll(std::unordered_map<std::string, std::string> entries);
  static size_t size();

 private:
  static std::mutex& mutex();
  static std::unordered_map<std::string, std::string>& entries();
};

// The signature check: a hook (key text, data, its length, signature, its length) and the key
// text. Without an installed hook nothing verifies.
using SignatureVerifier = bool (*)(const char* keyText, const uint8_t* data, uint32_t dataLength,
                                   const uint8_t* signature, uint32_t signatureLength);

// Once per process: installs verifyWithPublicKey as the hook and builds the program's key text.
void installSignatureVerifier();
// Once per process: assembles the program's public key text and stores it with setVerifyKey.
void buildVerifyKey();
// Replaces the stored key text with a copy of `text` (null: empty).
void setVerifyKey(const char* text);
// The hook: RSASSA-PKCS1-v1_5 with SHA-1 over the data, the key as PEM text.
bool verifyWithPublicKey(const char* keyText, const uint8_t* data, uint32_t dataLength,
                         const uint8_t* signature, uint32_t signatureLength);
// Calls the installed hook with the stored key text, one verification at a time; false without a
// hook.
bool verifyBundleSignature(const uint8_t* data, uint32_t dataLength, const uint8_t* signature,
                           uint32_t signatureLength);
