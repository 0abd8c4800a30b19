// Controls that tests use to put the layer's services (registry, system facts, folders, shell,
// message boxes, drawing) into the states they need, and to read back what they did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "desk/types.h"

namespace desk::test {

// --- registry ---
// Opening or creating this key, or any key below it, fails with ERROR_ACCESS_DENIED ("" refuses
// every key).
void refuseRegistryKey(const std::string& keyPath);
void clearRegistryRefusals();
struct RegistryValue {
  DWORD type;
  std::string bytes;
};
// Writes a value with exactly these bytes (creating the key).
void seedRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                       const std::string& bytes);
std::optional<RegistryValue> registryValue(const std::string& keyPath, const std::string& name);
// Handles opened and not yet closed (HKEY_CURRENT_USER not counted).
size_t openRegistryKeys();

}  // namespace desk::test
