// The settings plugin ("defaults"): pages keep small typed settings (text, whole and floating-point
// numbers, flags, byte strings) from run to run, as values of one registry key of the current
// user: "Software\" + the application identifier. One registry value per setting, named by the
// page's key; the data of each type is laid out as below, and reading interprets the stored bytes
// by the type asked for, whatever type the value was written with.
//
//   "string"   REG_SZ      the UTF-8 text as the narrow registry functions see it, no NUL
//   "integer"  REG_BINARY  8 bytes, signed 64-bit little-endian
//   "float"    REG_BINARY  8 bytes, IEEE 754 double little-endian
//   "boolean"  REG_BINARY  1 byte, 1 or 0
//   "binary"   REG_BINARY  the bytes in order
//
// A value is stored only when reading it back gives what was sent: an unsigned integer above
// 2^63-1, a "binary" element other than an integer 0..255 or a boolean, a whole number for "float"
// beyond 2^53, a name with a NUL or a value over the store's size limit are refused with 400.
// "group" is read by no command: every setting lives in the one key.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desk/registry.h"
#include "zrkwebview/browser/src/plugin/plugin.h"

namespace zrk::plugin {

// The store name used when the program has no identifier.
inline constexpr char kDefaultsFallbackStore[] = "com.mycompany.Zrkwebview";

// A short-lived handle on the settings key. Every operation fails quietly when the key could not
// be opened: reads give the empty result, writes and deletes an error code.
class DefaultsStore {
 public:
  DefaultsStore() = default;
  explicit DefaultsStore(const std::string& storeName) { openKey(storeName); }
  ~DefaultsStore() { closeKey(); }
  DefaultsStore(const DefaultsStore&) = delete;
  DefaultsStore& operator=(const DefaultsStore&) = delete;

  // Opens (creating when missing) HKEY_CURRENT_USER\Software\<store name, or the fallback>. The
  // first open of the process names the registry's file ($XDG_CONFIG_HOME/<store>/registry.json)
  // when the program has not named one.
  bool openKey(const std::string& storeName);
  void closeKey();
  bool isOpen() const { return key_ != nullptr; }

  // The value's bytes; empty when it is missing or the key is not open.
  std::vector<uint8_t> readBytes(const std::string& name);
  // The value as the narrow query reports it.
  std::string readString(const std::string& name);
  desk::LSTATUS write(const std::string& name, desk::DWORD type, const void* data, size_t size);
  desk::LSTATUS remove(const std::string& name);

  // "Software\" + the store name (or the fallback).
  static std::string keyPath(const std::string& storeName);

 private:
  desk::HKEY key_ = nullptr;
};

class DefaultsPlugin : public Plugin {
  VESK_DECLARE_CLASS(DefaultsPlugin, Plugin, "zrk::plugin")

 public:
  DefaultsPlugin();
  ~DefaultsPlugin() override = default;

  // No response without a webview or a request; a std::exception out of a command answers 400
  // with its text.
  std::shared_ptr<Vesk::TObject> invoke(const std::string& command, zrk::Webview* webview,
                                        http::HttpResponseConnection* connection,
                                        http::HttpRequest* request,
                                        const nlohmann::json& payload) override;

  std::shared_ptr<http::HttpResponse> set(const nlohmann::json& payload);
  std::shared_ptr<http::HttpResponse> get(const nlohmann::json& payload);
  std::shared_ptr<http::HttpResponse> remove(const nlohmann::json& payload);

  // The application identifier, read once per process when it is not empty.
  static std::string storeName();

  // Typed operations, each on a store of its own. Writes give the registry's status.
  static desk::LSTATUS writeString(const std::string& name, const std::string& text);
  static desk::LSTATUS writeInt64(const std::string& name, int64_t value);
  static desk::LSTATUS writeDouble(const std::string& name, double value);
  static desk::LSTATUS writeBool(const std::string& name, bool value);
  static desk::LSTATUS writeBytes(const std::string& name, const std::vector<uint8_t>& bytes);
  static std::string readString(const std::string& name);
  static int64_t readInt64(const std::string& name);
  static double readDouble(const std::string& name);
  static bool readBool(const std::string& name);
  static std::vector<uint8_t> readBytes(const std::string& name);
  static bool removeValue(const std::string& name);
};

// Makes and registers the plugin once per process.
void registerDefaultsPlugin();

}  // namespace zrk::plugin
