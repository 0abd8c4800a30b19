#include "zrkwebview/browser/src/http-plugins/system/machine-id.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>

#include "desk/sysinfo.h"
#include "vesk/log.h"
#include "vesk/tdata.h"
#include "zrkwebview/browser/src/app-paths.h"

namespace zrk::plugin {

namespace {

std::mutex& sourcesMutex() {
  static std::mutex m;
  return m;
}
std::optional<MachineIdSources>& sourcesSlot() {
  static std::optional<MachineIdSources> slot;
  return slot;
}

MachineIdSources currentSources() {
  std::lock_guard<std::mutex> lock(sourcesMutex());
  return sourcesSlot() ? *sourcesSlot() : defaultMachineIdSources();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> parseId(const std::string& line) {
  if (line.size() != 32) return std::nullopt;
  std::string bytes(16, '\0');
  for (size_t i = 0; i < 16; ++i) {
    const int hi = hexValue(line[2 * i]), lo = hexValue(line[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<char>(hi * 16 + lo);
  }
  return bytes;
}

// mkdir -p for the folder of `file`.
void makeParents(const std::string& file) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    const std::string folder = file.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

// Writes a new random id to `file` unless another caller got there first; the id in the file.
std::optional<std::string> makeFallbackId(const std::string& file) {
  makeParents(file);
  std::random_device random;
  std::string hex;
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    const unsigned byte = random() & 0xFF;
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  const std::string temporary = file + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  const std::string text = hex + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool synced = fsync(fd) == 0;
  close(fd);
  // link() never replaces: when two processes race, the first id stays and both read it.
  const bool linked = written && synced && link(temporary.c_str(), file.c_str()) == 0;
  unlink(temporary.c_str());
  if (linked) ZRK_LOG_WARN("machine id: no system machine id, made one in %s", file.c_str());
  return readMachineIdFile(file);
}

}  // namespace

MachineIdSources defaultMachineIdSources() {
  return MachineIdSources{{"/etc/machine-id", "/var/lib/dbus/machine-id"},
                          zrk::dataDirectory() + "machine-id"};
}

void setMachineIdSources(std::optional<MachineIdSources> sources) {
  std::lock_guard<std::mutex> lock(sourcesMutex());
  sourcesSlot() = std::move(sources);
}

std::optional<std::string> readMachineIdFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return parseId(line);
}

std::string machineIdBytes(const MachineIdSources& sources) {
  for (const std::string& file : sources.files) {
    if (auto id = readMachineIdFile(file)) return *id;
  }
  if (sources.fallbackFile.empty()) return std::string();
  if (auto id = readMachineIdFile(sources.fallbackFile)) return *id;
  if (auto id = makeFallbackId(sources.fallbackFile)) return *id;
  ZRK_LOG_WARN("machine id: cannot keep an id in %s", sources.fallbackFile.c_str());
  return std::string();
}

std::string cpuSignature() {
  std::string vendor;
  int32_t signature = 0;
  if (const auto leaf0 = desk::cpuid(0)) {
    char text[13] = {};
    const uint32_t words[3] = {leaf0->ebx, leaf0->edx, leaf0->ecx};
    std::memcpy(text, words, 12);
    vendor = text;  // up to the first NUL
  }
  if (const auto leaf1 = desk::cpuid(1)) signature = static_cast<int32_t>(leaf1->eax);
  return vendor + "_" + std::to_string(signature);
}

std::string machineHashInput() {
  return machineIdBytes(currentSources()) + cpuSignature();
}

std::array<uint8_t, 32> sha256Digest(const std::string& bytes) {
  std::array<uint8_t, 32> digest{};
  auto data = std::make_shared<Vesk::TData>(bytes.data(), bytes.size());
  // A digest that fails (or an empty input, which the digest refuses) stays zero.
  std::shared_ptr<Vesk::TData> result = bytes.empty() ? nullptr : Vesk::TData::sha256(data);
  if (result && result->length() == digest.size()) {
    std::memcpy(digest.data(), result->bytes(), digest.size());
  }
  return digest;
}

std::array<uint8_t, 8> foldDigest(const std::array<uint8_t, 32>& digest) {
  std::array<uint8_t, 8> folded{};
  for (size_t i = 0; i < 8; ++i) {
    folded[i] = digest[4 * i] ^ digest[4 * i + 1] ^ digest[4 * i + 2] ^ digest[4 * i + 3];
  }
  return folded;
}

std::string encodeBase32(const uint8_t* bytes, size_t count) {
  static const char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (size_t i = 0; i < count; ++i) {
    buffer = (buffer << 8) | bytes[i];
    bits += 8;
    while (bits >= 5) {
      out += kAlphabet[(buffer >> (bits - 5)) & 0x1F];
      bits -= 5;
    }
    buffer &= (1u << bits) - 1;
  }
  if (bits > 0) out += kAlphabet[(buffer << (5 - bits)) & 0x1F];
  return out;
}

std::string machineIdForInput(const std::string& input) {
  const auto folded = foldDigest(sha256Digest(input));
  return encodeBase32(folded.data(), folded.size());
}

std::string machineId() { return machineIdForInput(machineHashInput()); }

VirtualMachineFacts readVirtualMachineFacts() {
  VirtualMachineFacts facts;
  if (const auto leaf1 = desk::cpuid(1)) facts.hypervisorBit = (leaf1->ecx >> 31) & 1;
  // Without a hypervisor the leaf is not defined: a processor answers it with the data of its
  // highest basic leaf. Only a maximum hypervisor leaf in the hypervisor range shows it is real.
  if (const auto hv = desk::cpuid(0x40000000u)) {
    if (hv->eax >= 0x40000000u && hv->eax <= 0x4FFFFFFFu) {
      char text[13] = {};
      const uint32_t words[3] = {hv->ebx, hv->ecx, hv->edx};
      std::memcpy(text, words, 12);
      facts.hypervisorVendor = text;
    }
  }
  facts.firmware = desk::firmwareStrings();
  return facts;
}

bool isVirtualMachine(const VirtualMachineFacts& facts) {
  if (facts.hypervisorBit) return true;
  if (!facts.hypervisorVendor.empty() && facts.hypervisorVendor != std::string(12, ' ')) {
    return true;
  }
  static const char* const kNames[] = {"vmware", "virtualbox", "vbox",     "kvm",
                                       "qemu",   "xen",        "hyper-v",  "microsoft corporation",
                                       "parallels", "bhyve"};
  for (std::string text : facts.firmware) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const char* name : kNames) {
      if (text.find(name) != std::string::npos) return true;
    }
  }
  return false;
}

bool isVirtualMachine() { return isVirtualMachine(readVirtualMachineFacts()); }

}  // namespace zrk::plugin
