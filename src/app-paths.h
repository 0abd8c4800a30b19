// Where the program keeps its files.
#pragma once

#include <string>

namespace zrk {

// The per-user data folder, ending in "/": $XDG_DATA_HOME (or ~/.local/share) followed by the
// application identifier ("zrk" when there is none). The folder is not created here; its users
// create what they need.
std::string dataDirectory();

}  // namespace zrk
