#include "vesk/tstring.h"

#include <stdexcept>

#include "vesk/utf.h"

namespace Vesk {

namespace {

size_t unitLength(const WChar* text) { return std::char_traits<WChar>::length(text); }

// Narrow input stops at its first NUL byte; an empty or NUL-led input gives the empty string.
WString decodeUtf8(const char* bytes, size_t count) {
  if (bytes == nullptr || count == 0 || bytes[0] == '\0') return WString();
  return utf::fromUtf8(std::string_view(bytes, count));
}

inline WChar asciiLower(WChar u) { return (u >= u'A' && u <= u'Z') ? static_cast<WChar>(u + 32) : u; }
inline WChar asciiUpper(WChar u) { return (u >= u'a' && u <= u'z') ? static_cast<WChar>(u - 32) : u; }

inline WChar pathSeparator(WChar separator) { return separator == 0 ? u'/' : separator; }

// The text up to its first NUL.
std::u16string_view untilNul(const WString& text) {
  size_t nul = text.find(u'\0');
  return std::u16string_view(text.data(), nul == WString::npos ? text.size() : nul);
}

}  // namespace

TString::TString(TString&& other) noexcept : TObject(), text_(std::move(other.text_)) { other.text_.clear(); }
TString::TString(const std::string& utf8) : text_(decodeUtf8(utf8.data(), utf8.size())) {}
TString::TString(const char* utf8) : text_(decodeUtf8(utf8, utf8 ? std::char_traits<char>::length(utf8) : 0)) {}
TString::TString(const char* utf8, size_t byteCount) : text_(decodeUtf8(utf8, byteCount)) {}
TString::TString(const WChar* text, size_t length) {
  if (text != nullptr) text_.assign(text, length == npos ? unitLength(text) : length);
}
TString::TString(const WString& text) : text_(text) {}
TString::TString(WChar unit) : text_(1, unit) {}
TString::TString(const TCoder& coder) {
  std::string bytes;
  uint32_t length = 0;
  const_cast<TCoder&>(coder).decode(bytes, length);
  if (length != 0) text_ = decodeUtf8(bytes.data(), std::min<size_t>(length, bytes.size()));
}

TString& TString::operator=(const TString& other) {
  if (this != &other) text_ = other.text_;
  return *this;
}
TString& TString::operator=(TString&& other) noexcept {
  if (this != &other) {
    text_ = std::move(other.text_);
    other.text_.clear();
  }
  return *this;
}
TString& TString::operator=(const WChar* text) {
  if (text == nullptr) {
    text_.clear();
  } else {
    text_.assign(text, unitLength(text));
  }
  return *this;
}
TString& TString::operator=(const char* utf8) {
  text_ = decodeUtf8(utf8, utf8 ? std::char_traits<char>::length(utf8) : 0);
  return *this;
}
TString& TString::operator=(WChar unit) {
  text_.assign(1, unit);
  return *this;
}
TString& TString::assign(const WChar* text, size_t length) {
  if (text == nullptr) {
    text_.clear();
    text_.shrink_to_fit();
  } else {
    text_.assign(text, length == npos ? unitLength(text) : length);
  }
  return *this;
}
TString& TString::append(const WChar* text, size_t length) {
  if (text != nullptr) text_.append(text, length == npos ? unitLength(text) : length);
  return *this;
}
TString& TString::operator+=(const TString& other) {
  text_.append(untilNul(other.text_));
  return *this;
}
TString& TString::operator+=(const WChar* text) { return append(text); }
TString& TString::operator+=(const char* utf8) {
  if (utf8 != nullptr) text_ += decodeUtf8(utf8, std::char_traits<char>::length(utf8));
  return *this;
}
TString& TString::operator+=(WChar unit) {
  if (unit != 0) text_.push_back(unit);
  return *this;
}

TString operator+(const TString& left, const TString& right) {
  TString result(left);
  result += right;
  return result;
}
TString operator+(const TString& left, const WChar* right) {
  TString result(left);
  result += right;
  return result;
}

bool TString::operator==(const WChar* text) const {
  if (text == nullptr) return text_.empty();
  return std::u16string_view(text_) == std::u16string_view(text);
}
bool TString::operator==(const char* utf8) const {
  if (utf8 == nullptr) return text_.empty();
  return text_ == decodeUtf8(utf8, std::char_traits<char>::length(utf8));
}

int TString::compare(const std::shared_ptr<TObject>& other) const {
  if (!other || !other->isKindOfClass(&TString::classDescriptor)) throw kNotATStringText;
  const auto& that = static_cast<const TString&>(*other);
  if (text_ == that.text_) return 0;
  return text_ < that.text_ ? -1 : 1;
}

int TString::compareText(const WChar* text) const {
  const WChar* a = text_.c_str();
  const WChar* b = text ? text : u"";
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int TString::compareTextIgnoringCase(const WChar* text) const {
  const WChar* a = text_.c_str();
  const WChar* b = text ? text : u"";
  for (;; ++a, ++b) {
    int ca = asciiLower(*a), cb = asciiLower(*b);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

uint64_t TString::hash() const {
  uint64_t h = 14695981039346656037ULL;
  for (WChar u : text_) {
    h = (h ^ (u & 0xFF)) * 1099511628211ULL;
    h = (h ^ (u >> 8)) * 1099511628211ULL;
  }
  return h;
}

WChar TString::characterAtIndex(int64_t index) const {
  if (index < 0 || static_cast<uint64_t>(index) >= text_.size()) throw std::out_of_range("invalid string position");
  return text_[static_cast<size_t>(index)];
}

void TString::setCharacterAtIndex(int64_t index, WChar unit) {
  if (index < 0 || static_cast<uint64_t>(index) > text_.size()) throw std::out_of_range("invalid string position");
  auto i = static_cast<size_t>(index);
  if (i == text_.size()) {
    text_.push_back(unit);
  } else {
    text_[i] = unit;
  }
}

std::string TString::utf8String() const {
  if (text_.empty() || text_[0] == 0) return std::string();
  return utf::toUtf8(text_);
}

WString TString::toWString() const { return WString(untilNul(text_)); }

int64_t TString::find(const WChar* text, size_t from) const {
  if (from != 0 && from > text_.size()) return -1;
  std::u16string_view needle = text ? std::u16string_view(text) : std::u16string_view();
  size_t at = text_.find(needle.data(), from, needle.size());
  return at == WString::npos ? -1 : static_cast<int64_t>(at);
}

int64_t TString::findCharacter(WChar unit, size_t from) const {
  if (text_.empty() || from >= text_.size()) return -1;
  size_t at = text_.find(unit, from);
  return at == WString::npos ? -1 : static_cast<int64_t>(at);
}

int64_t TString::lastIndexOfCharacter(WChar unit) const {
  size_t at = text_.rfind(unit);
  return at == WString::npos ? -1 : static_cast<int64_t>(at);
}

TString TString::substring(size_t from, int count) const {
  if (from >= text_.size() || count == 0) return TString();
  size_t n = count < 0 ? WString::npos : static_cast<size_t>(count);
  WString slice = text_.substr(from, n);
  return TString(WString(untilNul(slice)));
}

TString TString::left(size_t count) const { return substring(0, count >= text_.size() ? -1 : static_cast<int>(count)); }

TString TString::right(size_t count) const {
  if (count >= text_.size()) return substring(0);
  return substring(text_.size() - count);
}

bool TString::hasSuffix(const TString& suffix) const {
  return suffix.text_.size() <= text_.size() &&
         text_.compare(text_.size() - suffix.text_.size(), suffix.text_.size(), suffix.text_) == 0;
}

void TString::lowercase() {
  for (WChar& u : text_) u = asciiLower(u);
}
void TString::uppercase() {
  for (WChar& u : text_) u = asciiUpper(u);
}

int TString::replaceAll(const WChar* target, const WChar* replacement) {
  // Copies, so that texts pointing into this string stay valid while it changes.
  const WString from = target ? WString(target) : WString();
  const WString to = replacement ? WString(replacement) : WString();
  if (from.empty()) return 0;
  int count = 0;
  size_t pos = 0;
  while ((pos = text_.find(from.data(), pos, from.size())) != WString::npos) {
    text_.replace(pos, from.size(), to.data(), to.size());
    ++count;
    pos += to.size();
  }
  return count;
}

void TString::stripLeading(WChar unit) {
  size_t first = text_.find_first_not_of(unit);
  if (first == WString::npos) return;  // nothing but that unit (or empty): unchanged
  text_.erase(0, first);
}

void TString::stripTrailing(WChar unit) {
  size_t last = text_.find_last_not_of(unit);
  if (last == WString::npos) return;
  text_.erase(last + 1);
}

TString TString::quotedIfNeeded() const {
  if (text_.find_first_of(u",\"\n") == WString::npos) return *this;
  WString quoted;
  quoted.reserve(text_.size() + 2);
  quoted.push_back(u'"');
  for (WChar u : text_) {
    if (u == u'"') quoted.push_back(u'"');
    quoted.push_back(u);
  }
  quoted.push_back(u'"');
  return TString(quoted);
}

TString TString::lastPathComponent(WChar separator) const {
  size_t at = text_.rfind(pathSeparator(separator));
  if (at == WString::npos) return *this;
  return TString(text_.substr(at + 1));
}

TString TString::deletingLastPathComponent(WChar separator) const {
  size_t at = text_.rfind(pathSeparator(separator));
  if (at == WString::npos) return TString();
  return TString(text_.substr(0, at));
}

namespace {
// The position of the extension's dot within the last path component, or npos.
size_t extensionDot(const WString& text) {
  size_t dot = text.rfind(u'.');
  if (dot == WString::npos) return dot;
  size_t slash = text.rfind(u'/');
  if (slash != WString::npos && slash > dot) return WString::npos;
  return dot;
}
}  // namespace

TString TString::pathExtension() const {
  size_t dot = extensionDot(text_);
  if (dot == WString::npos) return TString();
  return TString(text_.substr(dot + 1));
}

TString TString::deletingPathExtension() const {
  size_t dot = extensionDot(text_);
  if (dot == WString::npos) return *this;
  return TString(text_.substr(0, dot));
}

TString TString::stringByAppendingPathComponent(const TString& component, WChar separator) const {
  const WChar sep = pathSeparator(separator);
  TString result(*this);
  if (!result.text_.empty() && result.text_.back() != sep) result.text_.push_back(sep);
  std::u16string_view tail(component.text_);
  if (!tail.empty() && tail.front() == sep) tail.remove_prefix(1);
  result.text_.append(tail);
  return result;
}
TString TString::stringByAppendingPathComponent(const std::string& component, WChar separator) const {
  return stringByAppendingPathComponent(TString(component), separator);
}
TString TString::stringByAppendingPathComponent(const char* component, WChar separator) const {
  return stringByAppendingPathComponent(TString(component ? component : ""), separator);
}

TString TString::stringByAppendingPathExtension(const TString& extension) const {
  TString result(*this);
  result.text_.push_back(u'.');
  result.text_.append(extension.text_);
  return result;
}
TString TString::stringByAppendingPathExtension(const std::string& extension) const {
  return stringByAppendingPathExtension(TString(extension));
}
TString TString::stringByAppendingPathExtension(const char* extension) const {
  return stringByAppendingPathExtension(TString(extension ? extension : ""));
}

}  // namespace Vesk
