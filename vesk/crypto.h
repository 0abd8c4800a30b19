// Base64, digests of files and texts, and hexadecimal forms of bytes. The buffer digests, key
// derivation and AES are static operations of Vesk::TData (vesk/tdata.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Vesk {

class TData;
class TString;

// The digest of the file helpers. 3 is unassigned and refused like any unknown value.
enum class HashType : int32_t { MD5 = 0, SHA1 = 1, SHA224 = 2, SHA384 = 4, SHA512 = 5 };

// Standard alphabet. Decoding skips every byte outside it ("=" and white space included) and drops
// bits that do not fill a byte; it never fails. Encoding pads with "=", breaks lines after 72
// characters and ends with a line feed (so "" encodes to "\n").
std::string base64Decode(const std::string& text);
std::string base64Decode(const char* text, int length);
std::string base64Encode(const std::string& bytes);
std::string base64Encode(const char* bytes, int length);

// Streams the file through the digest. An unknown type throws std::runtime_error
// "Unsupported hash type" before the file is touched; a file that cannot be opened or read
// throws the cipher library's file error, which names the file.
std::shared_ptr<TData> hashFile(const std::string& path, HashType type);
// The same digest as upper-case hexadecimal.
std::string hashFileHex(const std::string& path, HashType type);

// Lower-case hexadecimal digests of texts and buffers; an empty string for a null text or an
// empty pointer.
std::string md5Hex(const char* text);
std::string md5Hex(const std::shared_ptr<TData>& data);
// useUtf8 hashes the UTF-8 form, otherwise the UTF-16 units as stored, low byte first.
std::string md5Hex(const TString& text, bool useUtf8);
std::string sha1Hex(const TString& text);  // the UTF-8 form
std::string sha1Hex(const char* text);

// Two lower-case hexadecimal digits per byte.
std::string bytesToHex(const uint8_t* bytes, size_t count);

}  // namespace Vesk
