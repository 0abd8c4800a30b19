// Wide text in the object library is UTF-16 in 16-bit units on every platform.
#pragma once

#include <string>

namespace Vesk {

using WChar = char16_t;
using WString = std::u16string;

}  // namespace Vesk
