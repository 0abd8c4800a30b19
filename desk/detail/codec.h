// UTF-8 and UTF-16 conversions for the layer's narrow and wide entry points. Ill-formed input never
// fails: each bad byte or lone surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace desk::detail {

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
// Null gives the empty text.
inline std::u16string_view wideView(const char16_t* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}
inline std::string_view narrowView(const char* text) {
  return text ? std::string_view(text) : std::string_view();
}
// Decodes UTF-16 into code points (lone surrogates as U+FFFD).
std::u32string utf16ToUtf32(std::u16string_view text);

}  // namespace desk::detail
