#include "zrkwebview/browser/src/http-plugins/defaults/defaults-plugin.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zrkwebview/browser/src/configuration.h"
#include "zrkwebview/browser/src/http-plugins/payload.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;

std::shared_ptr<http::HttpResponse> status400(const std::string& text) {
  return std::make_shared<http::HttpStatusResponse>(400, text);
}

std::shared_ptr<http::HttpResponse> jsonReply(std::string body) {
  return std::make_shared<http::HttpMimeResponse>(std::move(body), "application/json");
}

// A refusal that is the page's to mend: 400 with the reason.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void checkName(const std::string& name) {
  if (name.find('\0') != std::string::npos) throw Refused("Invalid key: it contains a NUL character");
}

// The reply of a write: true, false for a store that fails, 400 for a value the store refuses.
std::shared_ptr<http::HttpResponse> writeReply(desk::LSTATUS status) {
  if (status == desk::ERROR_INVALID_PARAMETER) return status400("Value too large");
  return jsonReply(status == desk::ERROR_SUCCESS ? "true" : "false");
}

template <typename T>
T fromBytes(const std::vector<uint8_t>& bytes) {
  T value{};
  if (bytes.size() == sizeof(T)) std::memcpy(&value, bytes.data(), sizeof(T));
  return value;
}

// Whole numbers that a double holds exactly: |v| <= 2^53.
constexpr uint64_t kExactDoubleLimit = uint64_t{1} << 53;

std::vector<uint8_t> binaryOf(const json& array) {
  std::vector<uint8_t> bytes;
  bytes.reserve(array.size());
  for (const json& element : array) {
    if (element.is_boolean()) {
      bytes.push_back(element.get<bool>() ? 1 : 0);
    } else if (element.is_number_unsigned() && element.get<uint64_t>() <= 255) {
      bytes.push_back(static_cast<uint8_t>(element.get<uint64_t>()));
    } else if (element.is_number_integer() && !element.is_number_unsigned() &&
               element.get<int64_t>() >= 0 && element.get<int64_t>() <= 255) {
      bytes.push_back(static_cast<uint8_t>(element.get<int64_t>()));
    } else if (element.is_number()) {
      throw Refused("Invalid binary element: bytes are integers from 0 to 255");
    } else {
      // Neither number nor boolean: the JSON library's own type error.
      bytes.push_back(element.get<uint8_t>());
    }
  }
  return bytes;
}

}  // namespace

// ---- the store -----------------------------------------------------------------------------------

std::string DefaultsStore::keyPath(const std::string& storeName) {
  return std::string("Software\\") + (storeName.empty() ? kDefaultsFallbackStore : storeName);
}

bool DefaultsStore::openKey(const std::string& storeName) {
  closeKey();
  // Settings outlive the run: a registry still kept in memory only is given its file first.
  static std::once_flag named;
  std::call_once(named, [&] {
    if (desk::registryPath().empty()) {
      desk::useRegistryFile(storeName.empty() ? kDefaultsFallbackStore : storeName);
    }
  });
  const std::string path = keyPath(storeName);
  desk::HKEY key = nullptr;
  // Opening an existing key reads from the registry's cached copy; only a missing key takes the
  // create path, which locks and re-reads the whole file.
  desk::LSTATUS status = desk::RegOpenKeyExA(desk::HKEY_CURRENT_USER, std::string_view(path), 0,
                                             desk::KEY_ALL_ACCESS, &key);
  if (status == desk::ERROR_FILE_NOT_FOUND) {
    status = desk::RegCreateKeyExA(desk::HKEY_CURRENT_USER, std::string_view(path), 0, nullptr,
                                   desk::REG_OPTION_NON_VOLATILE, desk::KEY_ALL_ACCESS, nullptr,
                                   &key, nullptr);
  }
  if (status != desk::ERROR_SUCCESS) return false;
  key_ = key;
  return true;
}

void DefaultsStore::closeKey() {
  if (key_ != nullptr) desk::RegCloseKey(key_);
  key_ = nullptr;
}

std::vector<uint8_t> DefaultsStore::readBytes(const std::string& name) {
  if (key_ == nullptr) return {};
  desk::DWORD size = 0;
  if (desk::RegQueryValueExA(key_, std::string_view(name), nullptr, nullptr, nullptr, &size) !=
      desk::ERROR_SUCCESS) {
    return {};
  }
  std::vector<uint8_t> buffer(size, 0);
  desk::DWORD got = size;
  if (desk::RegQueryValueExA(key_, std::string_view(name), nullptr, nullptr, buffer.data(),
                             &got) != desk::ERROR_SUCCESS) {
    return {};
  }
  return buffer;
}

std::string DefaultsStore::readString(const std::string& name) {
  if (key_ == nullptr) return {};
  desk::DWORD size = 0;
  if (desk::RegQueryValueExA(key_, std::string_view(name), nullptr, nullptr, nullptr, &size) !=
      desk::ERROR_SUCCESS) {
    return {};
  }
  std::string buffer(size, '\0');
  desk::DWORD got = size;
  if (desk::RegQueryValueExA(key_, std::string_view(name), nullptr, nullptr,
                             reinterpret_cast<desk::BYTE*>(buffer.data()),
                             &got) != desk::ERROR_SUCCESS) {
    return {};
  }
  buffer.resize(std::min<size_t>(got, buffer.size()));
  return buffer;
}

desk::LSTATUS DefaultsStore::write(const std::string& name, desk::DWORD type, const void* data,
                                   size_t size) {
  if (key_ == nullptr) return desk::ERROR_ACCESS_DENIED;
  if (size > desk::kMaxRegistryValueSize) return desk::ERROR_INVALID_PARAMETER;
  return desk::RegSetValueExA(key_, std::string_view(name), 0, type,
                              static_cast<const desk::BYTE*>(data), static_cast<desk::DWORD>(size));
}

desk::LSTATUS DefaultsStore::remove(const std::string& name) {
  if (key_ == nullptr) return desk::ERROR_ACCESS_DENIED;
  return desk::RegDeleteValueA(key_, std::string_view(name));
}

// ---- the plugin ----------------------------------------------------------------------------------

DefaultsPlugin::DefaultsPlugin() {
  name_ = "defaults";
  description_ = "use defaults plugin";
  version_ = "1.0";
}

std::string DefaultsPlugin::storeName() {
  static std::mutex* mutex = new std::mutex;
  static std::string* name = new std::string;
  std::lock_guard<std::mutex> lock(*mutex);
  if (name->empty()) *name = applicationIdentifier();
  return *name;
}

desk::LSTATUS DefaultsPlugin::writeString(const std::string& name, const std::string& text) {
  DefaultsStore store(storeName());
  return store.write(name, desk::REG_SZ, text.data(), text.size());
}

desk::LSTATUS DefaultsPlugin::writeInt64(const std::string& name, int64_t value) {
  uint8_t bytes[8] = {};
  std::memcpy(bytes, &value, sizeof bytes);
  DefaultsStore store(storeName());
  return store.write(name, desk::REG_BINARY, bytes, sizeof bytes);
}

desk::LSTATUS DefaultsPlugin::writeDouble(const std::string& name, double value) {
  uint8_t bytes[8] = {};
  std::memcpy(bytes, &value, sizeof bytes);
  DefaultsStore store(storeName());
  return store.write(name, desk::REG_BINARY, bytes, sizeof bytes);
}

desk::LSTATUS DefaultsPlugin::writeBool(const std::string& name, bool value) {
  const uint8_t byte = value ? 1 : 0;
  DefaultsStore store(storeName());
  return store.write(name, desk::REG_BINARY, &byte, 1);
}

desk::LSTATUS DefaultsPlugin::writeBytes(const std::string& name,
                                         const std::vector<uint8_t>& bytes) {
  DefaultsStore store(storeName());
  return store.write(name, desk::REG_BINARY, bytes.data(), bytes.size());
}

std::string DefaultsPlugin::readString(const std::string& name) {
  DefaultsStore store(storeName());
  return store.readString(name);
}

int64_t DefaultsPlugin::readInt64(const std::string& name) {
  DefaultsStore store(storeName());
  return fromBytes<int64_t>(store.readBytes(name));
}

double DefaultsPlugin::readDouble(const std::string& name) {
  DefaultsStore store(storeName());
  return fromBytes<double>(store.readBytes(name));
}

bool DefaultsPlugin::readBool(const std::string& name) {
  DefaultsStore store(storeName());
  const std::vector<uint8_t> bytes = store.readBytes(name);
  return bytes.size() == 1 && bytes[0] != 0;
}

std::vector<uint8_t> DefaultsPlugin::readBytes(const std::string& name) {
  DefaultsStore store(storeName());
  return store.readBytes(name);
}

bool DefaultsPlugin::removeValue(const std::string& name) {
  DefaultsStore store(storeName());
  return store.remove(name) == desk::ERROR_SUCCESS;
}

std::shared_ptr<Vesk::TObject> DefaultsPlugin::invoke(const std::string& command,
                                                      zrk::Webview* webview,
                                                      http::HttpResponseConnection* connection,
                                                      http::HttpRequest* request,
                                                      const json& payload) {
  (void)connection;
  if (webview == nullptr || request == nullptr) return nullptr;
  CommandTable table{
      {"get", [this](const json& p, zrk::Webview*, http::HttpRequest*) { return get(p); }},
      {"set", [this](const json& p, zrk::Webview*, http::HttpRequest*) { return set(p); }},
      {"remove", [this](const json& p, zrk::Webview*, http::HttpRequest*) { return remove(p); }},
  };
  return runCommandOr400(table, command, payload, webview, request);
}

std::shared_ptr<http::HttpResponse> DefaultsPlugin::set(const json& payload) {
  const json* key = payload::member(payload, "key");
  if (key == nullptr || !key->is_string()) return status400("Missing key");
  const json* type = payload::member(payload, "type");
  if (type == nullptr || !type->is_string()) return status400("Missing type");
  const json* value = payload::member(payload, "value");
  if (value == nullptr) return status400("Missing value");
  const std::string name = key->get<std::string>();
  const std::string kind = type->get<std::string>();
  try {
    checkName(name);
    if (kind == "boolean" && value->is_boolean()) {
      return writeReply(writeBool(name, value->get<bool>()));
    }
    if (kind == "float" && value->is_number()) {
      double number = 0;
      if (value->is_number_float()) {
        number = value->get<double>();
      } else if (value->is_number_unsigned()) {
        const uint64_t v = value->get<uint64_t>();
        if (v > kExactDoubleLimit) throw Refused("Float out of range: whole numbers up to 2^53");
        number = static_cast<double>(v);
      } else {
        const int64_t v = value->get<int64_t>();
        if (v > static_cast<int64_t>(kExactDoubleLimit) ||
            v < -static_cast<int64_t>(kExactDoubleLimit)) {
          throw Refused("Float out of range: whole numbers up to 2^53");
        }
        number = static_cast<double>(v);
      }
      return writeReply(writeDouble(name, number));
    }
    if (kind == "integer" && value->is_number_integer()) {
      if (value->is_number_unsigned() &&
          value->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw Refused("Integer out of range: above 2^63-1");
      }
      return writeReply(writeInt64(name, value->get<int64_t>()));
    }
    if (kind == "string" && value->is_string()) {
      return writeReply(writeString(name, value->get_ref<const std::string&>()));
    }
    if (kind == "binary" && value->is_array()) {
      return writeReply(writeBytes(name, binaryOf(*value)));
    }
  } catch (const Refused& e) {
    return status400(e.what());
  }
  return status400("Invalid type");
}

std::shared_ptr<http::HttpResponse> DefaultsPlugin::get(const json& payload) {
  const json* key = payload::member(payload, "key");
  if (key == nullptr || !key->is_string()) return status400("Missing key");
  const json* type = payload::member(payload, "type");
  if (type == nullptr || !type->is_string()) return status400("Missing type");
  const std::string name = key->get<std::string>();
  const std::string kind = type->get<std::string>();
  try {
    checkName(name);
  } catch (const Refused& e) {
    return status400(e.what());
  }
  json value;
  if (kind == "boolean") {
    value = readBool(name);
  } else if (kind == "float") {
    value = readDouble(name);
  } else if (kind == "integer") {
    value = readInt64(name);
  } else if (kind == "string") {
    value = readString(name);
  } else if (kind == "binary") {
    value = json::array();
    for (uint8_t byte : readBytes(name)) value.push_back(static_cast<unsigned>(byte));
  } else {
    return status400("Invalid type");
  }
  return jsonReply(value.dump());
}

std::shared_ptr<http::HttpResponse> DefaultsPlugin::remove(const json& payload) {
  const json* key = payload::member(payload, "key");
  if (key == nullptr || !key->is_string()) return status400("Missing key");
  const std::string name = key->get<std::string>();
  try {
    checkName(name);
  } catch (const Refused& e) {
    return status400(e.what());
  }
  return jsonReply(removeValue(name) ? "true" : "false");
}

void registerDefaultsPlugin() {
  registerPluginOnce<DefaultsPlugin>();
}

}  // namespace zrk::plugin
