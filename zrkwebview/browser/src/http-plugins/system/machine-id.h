// The machine identifier: a short text that stays the same for one machine across runs and users
// and differs between machines, and the test whether the program runs in a virtual machine.
//
// The identifier is the SHA-256 digest of the machine's id (the 16 bytes of the systemd/D-Bus
// machine id) followed by the processor's vendor and signature, folded to 8 bytes and written in
// 13 characters of Crockford's Base32 alphabet. Nothing is cached: every call reads afresh.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zrk::plugin {

// Where the machine's id is read: the first of `files` that holds one (32 hexadecimal digits),
// else `fallbackFile`, which is made with a random id the first time it is needed and kept.
struct MachineIdSources {
  std::vector<std::string> files;
  std::string fallbackFile;
};
// /etc/machine-id, /var/lib/dbus/machine-id, then "machine-id" in the program's data folder.
MachineIdSources defaultMachineIdSources();
// Tests point the reader elsewhere (nothing: the defaults again).
void setMachineIdSources(std::optional<MachineIdSources> sources);

// The 16 bytes of a machine-id file's first line (32 hexadecimal digits); nothing otherwise.
std::optional<std::string> readMachineIdFile(const std::string& path);
// The 16 bytes of the machine's id from the sources; empty when none can be read or made.
std::string machineIdBytes(const MachineIdSources& sources);

// CPUID: the vendor text, "_", and the signature (leaf 1 EAX) as a signed decimal number.
std::string cpuSignature();
// The hash input: the machine id bytes followed by the processor signature.
std::string machineHashInput();

std::array<uint8_t, 32> sha256Digest(const std::string& bytes);
// Byte i is the XOR of digest bytes 4i to 4i + 3.
std::array<uint8_t, 8> foldDigest(const std::array<uint8_t, 32>& digest);
// Crockford's Base32, most significant bits first; the bits left over at the end are padded with
// zero bits to a last character. No padding characters or separators.
std::string encodeBase32(const uint8_t* bytes, size_t count);
// Digest, fold and encode: 13 characters.
std::string machineIdForInput(const std::string& input);
std::string machineId();

// What the virtual-machine test looks at.
struct VirtualMachineFacts {
  bool hypervisorBit = false;         // CPUID leaf 1, ECX bit 31
  std::string hypervisorVendor;       // CPUID leaf 0x40000000 (empty when the leaf is not there)
  std::vector<std::string> firmware;  // the firmware's vendor and product strings
};
VirtualMachineFacts readVirtualMachineFacts();
// The first rule that holds decides: the hypervisor bit; a hypervisor vendor that is not empty and
// not twelve blanks; a firmware string naming a virtual machine (case ignored).
bool isVirtualMachine(const VirtualMachineFacts& facts);
bool isVirtualMachine();

}  // namespace zrk::plugin
