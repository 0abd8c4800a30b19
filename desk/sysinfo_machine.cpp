// Facts about the machine: processor, kernel, memory, locales, fonts and firmware strings.
#include <fontconfig/fontconfig.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unicode/uscript.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "desk/sysinfo.h"

namespace desk {

std::optional<CpuidResult> cpuid(uint32_t leaf) {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  // __get_cpuid checks the leaf against the highest one of its range (basic or extended).
  if (__get_cpuid(leaf, &a, &b, &c, &d) == 0) {
    // The hypervisor range (0x40000000) is not announced by leaf 0: read it directly.
    if ((leaf & 0xF0000000u) != 0x40000000u) return std::nullopt;
    __cpuid(leaf, a, b, c, d);
  }
  return CpuidResult{a, b, c, d};
#else
  (void)leaf;
  return std::nullopt;
#endif
}

std::string cpuBrandString() {
  const auto top = cpuid(0x80000000u);
  if (!top || top->eax < 0x80000004u) return std::string();
  char text[49] = {};
  for (uint32_t i = 0; i < 3; ++i) {
    const auto r = cpuid(0x80000002u + i);
    if (!r) return std::string();
    const uint32_t words[4] = {r->eax, r->ebx, r->ecx, r->edx};
    std::memcpy(text + i * 16, words, 16);
  }
  std::string name(text);  // up to the first NUL
  const size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const size_t last = name.find_last_not_of(' ');
  return name.substr(first, last - first + 1);
}

std::string machineHardwareName() {
  struct utsname u;
  if (uname(&u) != 0) return std::string();
  return u.machine;
}

std::string kernelRelease() {
  struct utsname u;
  if (uname(&u) != 0) return std::string();
  return u.release;
}

unsigned processorCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

std::optional<uint64_t> totalPhysicalMemory() {
  struct sysinfo info;
  if (sysinfo(&info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.totalram) * (info.mem_unit == 0 ? 1u : info.mem_unit);
}

std::string localeTagFromPosix(const std::string& posixName) {
  std::string name = posixName;
  std::string modifier;
  const size_t at = name.find('@');
  if (at != std::string::npos) {
    modifier = name.substr(at + 1);
    name.erase(at);
  }
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  if (name.empty() || name == "C" || name == "POSIX") return std::string();
  std::replace(name.begin(), name.end(), '_', '-');
  std::string script;
  if (modifier == "latin") script = "Latn";
  if (modifier == "cyrillic") script = "Cyrl";
  if (modifier == "devanagari") script = "Deva";
  if (!script.empty()) {
    const size_t dash = name.find('-');
    if (dash == std::string::npos) {
      name += "-" + script;
    } else {
      name.insert(dash, "-" + script);
    }
  }
  return name;
}

std::string userLocaleTag() {
  for (const char* key : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(key);
    if (value != nullptr && *value != '\0') return localeTagFromPosix(value);
  }
  return std::string();
}

std::string systemLocaleTag(const std::string& localeFile) {
  std::ifstream in(localeFile);
  if (!in) return std::string();
  std::string values[3];  // LC_ALL, LC_MESSAGES, LANG
  const char* keys[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string line;
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line.erase(0, start);
    if (line.rfind("export ", 0) == 0) line.erase(0, 7);
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
      value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    for (int i = 0; i < 3; ++i) {
      if (key == keys[i]) values[i] = value;
    }
  }
  for (const std::string& v : values) {
    if (!v.empty()) return localeTagFromPosix(v);
  }
  return std::string();
}

std::string localeScriptCodes(const std::string& tag) {
  if (tag.empty()) return std::string();
  std::string id = tag;
  std::replace(id.begin(), id.end(), '-', '_');
  UScriptCode codes[32];
  UErrorCode error = U_ZERO_ERROR;
  const int32_t n = uscript_getCode(id.c_str(), codes, 32, &error);
  if (U_FAILURE(error) || n <= 0) return std::string();
  std::set<std::string> names;
  for (int32_t i = 0; i < n; ++i) {
    const char* shortName = uscript_getShortName(codes[i]);
    if (shortName != nullptr && *shortName != '\0') names.insert(shortName);
  }
  std::string text;
  for (const std::string& s : names) text += s + ";";
  return text;
}

std::vector<std::string> fontFamilies() {
  static std::mutex fontMutex;
  std::lock_guard<std::mutex> lock(fontMutex);
  std::set<std::string> names;
  FcPattern* pattern = FcPatternCreate();
  FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, static_cast<char*>(nullptr));
  FcFontSet* set = (pattern && objects) ? FcFontList(nullptr, pattern, objects) : nullptr;
  if (set != nullptr) {
    for (int i = 0; i < set->nfont; ++i) {
      FcChar8* family = nullptr;
      // The first name of a family is its default (untranslated) one.
      if (FcPatternGetString(set->fonts[i], FC_FAMILY, 0, &family) == FcResultMatch && family &&
          *family != '\0') {
        names.insert(reinterpret_cast<const char*>(family));
      }
    }
    FcFontSetDestroy(set);
  }
  if (objects) FcObjectSetDestroy(objects);
  if (pattern) FcPatternDestroy(pattern);
  return std::vector<std::string>(names.begin(), names.end());
}

std::vector<std::string> firmwareStrings(const std::string& folder) {
  std::vector<std::string> out;
  for (const char* name : {"bios_vendor", "bios_version", "sys_vendor", "product_name",
                           "product_version", "board_vendor", "board_name", "chassis_vendor"}) {
    std::ifstream in(folder + "/" + name);
    if (!in) continue;
    std::string value;
    std::getline(in, value);
    if (!value.empty()) out.push_back(value);
  }
  return out;
}

}  // namespace desk
