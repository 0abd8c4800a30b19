// Shows strings as UTF-8 in test failure messages.
#pragma once

#include <ostream>

#include "vesk/tstring.h"

namespace Vesk {
inline void PrintTo(const TString& text, std::ostream* out) { *out << '"' << text.utf8String() << '"'; }
}  // namespace Vesk
