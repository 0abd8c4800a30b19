// pelmora-keygen KEY-FOLDER HEADER
//
// Makes the bundle's key set in KEY-FOLDER unless it is already there, and writes the C++ header
// that gives the program the payload key and the public key (rewritten only when it changes).
#include <cstdio>
#include <exception>

#include "tools/bundler/keys.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pelmora-keygen KEY-FOLDER HEADER\n");
    return 2;
  }
  try {
    bool generated = false;
    pelbundle::KeySet keys = pelbundle::ensureKeySet(argv[1], &generated);
    pelbundle::writeFileIfChanged(argv[2], pelbundle::renderKeysHeader(keys));
    if (generated) std::printf("pelmora-keygen: made new bundle keys in %s\n", argv[1]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelmora-keygen: %s\n", e.what());
    return 1;
  }
}
