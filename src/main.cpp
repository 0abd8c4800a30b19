// Pelmora: an image viewer, editor and converter.
#include "vesk/log.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  zrk::shutdownLogging();
  return 0;
}
