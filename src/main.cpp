// Pelmora: an image viewer, editor and converter.
#include <memory>
#include <string>

#include "src/startup.h"
#include "vesk/log.h"
#include "zrkwebview/browser/src/app.h"

int main(int argc, char** argv) {
  // The command line is read through the application object.
  (void)argc;
  (void)argv;
  const int code = runApplication(
      [](zrk::WindowOptions&) { return configureApplication(); },
      [](std::shared_ptr<zrk::App> app) { app->clearWindows(); }, {});
  zrk::shutdownLogging();
  return code;
}
