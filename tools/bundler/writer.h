// Writing "resource.dat": from a folder (the packer) or field by field (tests, to build bundles of
// every shape, damaged ones included). The layout is in bundle-format.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/bundler/bundle-format.h"

namespace pelbundle {

// One file of the bundle: its name (a relative path with "/" separators) and its bytes.
struct Entry {
  std::string name;
  std::string content;
};

// One record of the entry table, the name in plain text (it is encrypted when written).
struct TableRow {
  uint32_t size = 0;
  std::string name;
  std::optional<int16_t> nameLength;  // written in place of the name's real length
};

// Every field of a bundle file as it is written; nothing is checked. The packer fills it soundly.
struct BundleImage {
  std::string magic = std::string(kMagic, kMagicLength);
  uint8_t version = kFormatVersion;
  uint16_t reserved = 0;
  std::string iv;  // 16 bytes
  std::string signature;
  std::vector<TableRow> table;
  std::string payload;                    // the plain payload (the gzip member), encrypted on write
  std::optional<uint32_t> payloadLength;  // written in place of the encrypted payload's length
  std::optional<uint32_t> entryCount;     // written in place of the table's size
  std::string trailer;                    // bytes after the payload
};

// The file bytes of an image: names and payload encrypted with the payload key from the IV.
std::string serializeBundle(const BundleImage& image, std::string_view payloadKey);

// The building blocks.
std::string aesCtr(std::string_view data, std::string_view key, std::string_view iv);
std::string md5(std::string_view data);
// One gzip member (RFC 1952, time stamp 0) of the data; level as zlib's (-1 for its default).
std::string gzipMember(std::string_view data, int level = -1);
// RSASSA-PKCS1-v1_5 with SHA-1 over `message` with the PEM private key.
std::string signMessage(std::string_view message, std::string_view signingKeyPem);
std::string randomIv();

// A sound image of the entries: the table sorted by name (bytes), the contents gzipped as one
// member in table order, the MD5 digest of that member signed. Throws std::invalid_argument for an
// empty, over-long, absolute or repeated name and for sizes the format cannot hold.
BundleImage makeBundleImage(std::vector<Entry> entries, std::string_view signingKeyPem,
                            std::string iv, int level = -1);

// Every regular file below `dir` (symbolic links followed), named by its path relative to `dir`
// with "/" separators. Files and folders whose name starts with "." are left out.
std::vector<Entry> collectFolder(const std::filesystem::path& dir);

}  // namespace pelbundle
