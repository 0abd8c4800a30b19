// Takes the role of one start of a program in the single-instance tests.
//   probe hold        acquire; print "first", "later" or "failed"; a first instance prints every
//                     text handed to it on a line of its own and runs until killed
//   probe send TEXT   acquire; a later instance hands TEXT over; prints "sent" or "error: ..."
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "desk/single_instance.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  desk::SingleInstance instance("probe", "6b1e0c4e-1111-4a5b-9c3d-2e7f00aa55bb");
  const auto role = instance.acquire();
  const std::string mode = argv[1];
  if (role == desk::SingleInstance::Role::Failed) {
    std::printf("failed %s\n", instance.error().c_str());
    return 1;
  }
  if (mode == "send") {
    if (role != desk::SingleInstance::Role::Later || argc < 3) {
      std::printf("not later\n");
      return 1;
    }
    if (!instance.handOver(argv[2])) {
      std::printf("error: %s\n", instance.error().c_str());
      return 1;
    }
    std::printf("sent\n");
    return 0;
  }
  std::printf("%s\n", role == desk::SingleInstance::Role::First ? "first" : "later");
  std::fflush(stdout);
  if (role != desk::SingleInstance::Role::First) return 0;
  instance.startListener([](std::string text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  });
  for (;;) ::pause();
}
