// Vesk::TString: the object library's string, one UTF-16 text.
//
// Narrow text is UTF-8 everywhere (the "ANSI" forms are UTF-8 too); invalid input becomes U+FFFD.
// Case mapping and classification know only the ASCII letters. Paths use "/" as the separator
// unless another is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "vesk/tobject.h"
#include "vesk/wchar.h"

namespace Vesk {

// The text thrown by TString::compare when the other object is not a string.
inline constexpr const WChar* kNotATStringText = u"Not a TString object!";

class TString : public TObject {
  VESK_DECLARE_CLASS(TString, TObject, nullptr)

 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  TString() = default;
  TString(const TString& other) = default;
  // The source is left a valid empty string.
  TString(TString&& other) noexcept;
  TString(const std::string& utf8);  // NOLINT: implicit on purpose
  TString(const char* utf8);         // NOLINT; must not be null
  TString(const char* utf8, size_t byteCount);
  // npos means up to the first NUL; a null pointer gives the empty string.
  TString(const WChar* text, size_t length = npos);  // NOLINT
  TString(const WString& text);                      // NOLINT
  explicit TString(WChar unit);
  // Reads whatever the coder decodes; the library's coders decode nothing.
  explicit TString(const TCoder& coder);
  ~TString() override = default;

  // --- assignment and appending
  TString& operator=(const TString& other);
  TString& operator=(TString&& other) noexcept;
  TString& operator=(const WChar* text);  // null empties
  TString& operator=(const char* utf8);   // null empties
  TString& operator=(WChar unit);
  TString& assign(const WChar* text, size_t length = npos);
  TString& append(const WChar* text, size_t length = npos);
  TString& operator+=(const TString& other);  // up to the other's first NUL
  TString& operator+=(const WChar* text);     // null appends nothing
  TString& operator+=(const char* utf8);      // null appends nothing
  TString& operator+=(WChar unit);            // a NUL unit appends nothing
  virtual void clear() { text_.clear(); }

  // --- comparison
  bool operator==(const TString& other) const { return text_ == other.text_; }
  bool operator==(const WChar* text) const;  // up to the text's first NUL
  bool operator==(const char* utf8) const;
  // Unsigned 16-bit unit order; a prefix orders first. The key order of dictionaries.
  bool operator<(const TString& other) const { return text_ < other.text_; }
  // 0, -1 or 1; throws kNotATStringText when other is not a string.
  int compare(const std::shared_ptr<TObject>& other) const override;
  // Unit by unit up to the first NUL of either: -1, 0 or 1.
  int compareText(const WChar* text) const;
  // Same, with the ASCII letters folded: negative, zero or positive.
  int compareTextIgnoringCase(const WChar* text) const;
  // 64-bit FNV-1a over the units' bytes, low byte first.
  uint64_t hash() const;

  // --- access and conversion
  size_t length() const { return text_.size(); }
  size_t byteLength() const { return text_.size() * 2; }
  bool isEmpty() const { return text_.empty(); }
  const WChar* c_str() const { return text_.c_str(); }
  const WChar* characters() const { return text_.c_str(); }
  const WChar* buffer() const { return text_.c_str(); }
  WChar* data() { return text_.data(); }
  WString* storage() { return &text_; }
  const WString* storage() const { return &text_; }
  // Throws std::out_of_range("invalid string position") outside 0..length-1.
  WChar characterAtIndex(int64_t index) const;
  // Sets the unit at an index (appends at index == length); throws beyond.
  void setCharacterAtIndex(int64_t index, WChar unit);
  // The whole text as UTF-8 (embedded NULs kept); empty when the first unit is NUL.
  std::string utf8String() const;
  std::string ansiString() const { return utf8String(); }
  // A copy up to the first NUL.
  WString toWString() const;

  // --- searching and slicing; -1 means not found
  int64_t find(const WChar* text, size_t from = 0) const;
  int64_t findCharacter(WChar unit, size_t from = 0) const;
  int64_t lastIndexOfCharacter(WChar unit) const;
  // count < 0 means to the end. Slices end at the first NUL unit inside them.
  TString substring(size_t from, int count = -1) const;
  TString left(size_t count) const;
  TString right(size_t count) const;
  // The usual suffix test: a string is its own suffix, "" is a suffix of every string.
  bool hasSuffix(const TString& suffix) const;

  // --- editing in place
  void lowercase();
  void uppercase();
  // Left to right, without overlaps; inserted text is not searched again. Returns the count.
  int replaceAll(const WChar* target, const WChar* replacement);
  // Remove a leading / trailing run of the unit, unless the text is nothing but that unit.
  void stripLeading(WChar unit);
  void stripTrailing(WChar unit);
  // Wrapped in double quotes (inner quotes doubled) when the text holds ",", '"' or a line feed.
  TString quotedIfNeeded() const;

  // --- paths (separator 0 means "/")
  TString lastPathComponent(WChar separator = 0) const;
  TString deletingLastPathComponent(WChar separator = 0) const;
  // The extension of the last path component ("" when it has no dot).
  TString pathExtension() const;
  TString deletingPathExtension() const;
  TString stringByAppendingPathComponent(const TString& component, WChar separator = 0) const;
  TString stringByAppendingPathComponent(const std::string& component, WChar separator = 0) const;
  TString stringByAppendingPathComponent(const char* component, WChar separator = 0) const;
  TString stringByAppendingPathExtension(const TString& extension) const;
  TString stringByAppendingPathExtension(const std::string& extension) const;
  TString stringByAppendingPathExtension(const char* extension) const;

  // --- formatting. "%s" and "%c" take UTF-16 text and units, "%S" and "%C" UTF-8 text and bytes
  // ("%hs"/"%ls" force narrow/wide), integers take the usual length modifiers ("%lld", "%I64d",
  // "%zu"), floating point as printf. Replaces the text; returns the units written, or -1 (and an
  // empty string) for a format that cannot be applied.
  int format(const WChar* format, ...);
  // At most 63 units are kept; -1 when the result had to be cut (the cut text is kept).
  int formatShort(const WChar* format, ...);

  // --- static operations
  static TString uuidString();
  static std::string randomHexString(int byteCount, bool uppercase);
  // The message text of a platform error code; code 0 means the calling thread's last error.
  static TString fromSystemError(uint32_t code);
  static TString hexString(const uint8_t* bytes, int count);
  static TString byteCountString(int64_t bytes);
  static TString durationString(int64_t seconds);
  // Local date in the locale's short form, preceded by the time and ", " when withTime is set.
  static TString dateString(int64_t secondsSince1970, bool withTime, bool adjust = false);
  static TString joinPath(const TString& folder, const TString& name);
  static TString normalizePath(const TString& path, bool sanitize);
  static TString sanitizeFileName(const TString& name);
  static TString replaceInvalidFileNameCharacters(const TString& name);
  static TString forwardSlashPath(const TString& path);
  static TString folderPartOfPath(const TString& path);
  static TString fileNamePartOfPath(const TString& path);
  static TString extensionPartOfPath(const TString& path, bool withDot);
  static bool isValidEmailAddress(const TString& text);
  static TString paddedString(const WChar* text, size_t minimumLength, WChar fill);
  static TString urlEscaped(const TString& text);
  static TString urlUnescaped(const TString& text);
  static TString emptyString() { return TString(); }

 private:
  WString text_;
};

TString operator+(const TString& left, const TString& right);
TString operator+(const TString& left, const WChar* right);

}  // namespace Vesk
