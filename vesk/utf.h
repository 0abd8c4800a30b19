// The UTF-8 / UTF-16 codec shared by the string class and the string helpers.
//
// Two policies:
//  - Replace: every maximal invalid subpart of the input (a stray byte, a truncated or overlong
//    sequence, an encoded surrogate, an unpaired surrogate unit) becomes one U+FFFD. Never fails.
//  - Strict: any invalid input makes the whole conversion fail; the output is then left empty.
// Embedded NUL characters are converted like any other character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vesk/wchar.h"

namespace Vesk::utf {

enum class Policy { Replace, Strict };

// Appends nothing and returns false only under Strict when the input is invalid (out is cleared).
bool utf8ToUtf16(std::string_view in, WString& out, Policy policy);
bool utf16ToUtf8(std::u16string_view in, std::string& out, Policy policy);

// Convenience forms: the replace policy.
WString fromUtf8(std::string_view in);
std::string toUtf8(std::u16string_view in);

}  // namespace Vesk::utf
