// pelmora-bundle --in FOLDER --out FILE --keys KEY-FOLDER [--iv HEX32]
//
// Packs every file below FOLDER into the bundle FILE, encrypted with the payload key and signed
// with the private key of KEY-FOLDER (see keys.h). The IV is fresh for every bundle unless given.
// FILE is replaced only once the whole bundle is written.
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "tools/bundler/keys.h"
#include "tools/bundler/writer.h"

namespace {

std::string ivFromHex(const std::string& hex) {
  if (hex.size() != 2 * pelbundle::kIvLength) throw std::runtime_error("--iv takes 32 hex digits");
  std::string iv;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int v = 0;
    for (char c : hex.substr(i, 2)) {
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) throw std::runtime_error("--iv takes 32 hex digits");
      v = v * 16 + d;
    }
    iv.push_back(static_cast<char>(v));
  }
  return iv;
}

int usage() {
  std::fprintf(stderr, "usage: pelmora-bundle --in FOLDER --out FILE --keys KEY-FOLDER [--iv HEX32]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string in, out, keys, iv;
  for (int i = 1; i < argc; ++i) {
    std::string* target = nullptr;
    if (std::strcmp(argv[i], "--in") == 0) target = &in;
    else if (std::strcmp(argv[i], "--out") == 0) target = &out;
    else if (std::strcmp(argv[i], "--keys") == 0) target = &keys;
    else if (std::strcmp(argv[i], "--iv") == 0) target = &iv;
    if (!target || i + 1 >= argc) return usage();
    *target = argv[++i];
  }
  if (in.empty() || out.empty() || keys.empty()) return usage();
  try {
    pelbundle::KeySet keySet = pelbundle::readKeySet(keys);
    pelbundle::checkKeySet(keySet);
    auto entries = pelbundle::collectFolder(in);
    auto image = pelbundle::makeBundleImage(std::move(entries), keySet.signingKeyPem,
                                            iv.empty() ? pelbundle::randomIv() : ivFromHex(iv), 9);
    pelbundle::writeFileAtomically(out, pelbundle::serializeBundle(image, keySet.payloadKey));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelmora-bundle: %s\n", e.what());
    return 1;
  }
}
