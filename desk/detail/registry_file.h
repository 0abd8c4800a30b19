// The registry's file format, a small JSON document written and read by the layer itself:
//
//   {"format":"pelmora-registry","version":1,
//    "keys":{"Software\\Pelmora":{"left":[4,"64000000"], ...}, ...}}
//
// Each value is [type, bytes as lower-case hexadecimal]; a text value whose UTF-16 is well formed
// is [type, "s", the text]. The reader takes any JSON whitespace and
// escapes, ignores unknown members of the top object, and refuses everything else.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace desk::detail {

struct RegValue {
  std::string name;  // as first written
  uint32_t type = 0;
  std::string bytes;
};

struct RegKey {
  std::string path;  // as first written
  std::map<std::string, RegValue> values;  // by folded name
};

// Keys by folded path ("" is the root).
using RegStore = std::map<std::string, RegKey>;

// Lower-cases ASCII letters: the comparison key of names and paths.
std::string foldName(std::string_view name);

std::string writeRegistryDocument(const RegStore& store);
// Throws std::runtime_error with a short reason for anything that is not a registry document.
RegStore readRegistryDocument(std::string_view text);

}  // namespace desk::detail
