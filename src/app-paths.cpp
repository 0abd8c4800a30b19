#include "src/app-paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "pelmora/version.h"

namespace zrk {

namespace {

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return std::string();
}

}  // namespace

std::string dataDirectory() {
    std::string base;
    // A relative $XDG_DATA_HOME is invalid and ignored.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        std::string home = homeDirectory();
        if (home.empty()) return "./";
        base = home + "/.local/share";
    }
    while (!base.empty() && base.back() == '/') base.pop_back();
    const char* identifier = pelmora::versionInfo().identifier;
    return base + "/" + (identifier && *identifier ? identifier : "zrk") + "/";
}

}  // namespace zrk
