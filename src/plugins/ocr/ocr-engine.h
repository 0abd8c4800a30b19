// Text recognition: finds the printed lines of an image and gives each its text, its box and two
// anchor points (the start and end of the line), in pixels of the recognised image. The rules for
// boxes, anchors and turning by a reported text angle live here; the recognizer itself sits behind
// `ocr::Recognizer` (Tesseract in the program, a scripted one in tests).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zrk {

struct RecognizedLine {
  struct Point {
    float x = 0;
    float y = 0;
  };
  double confidence = 1.0;
  std::string text;
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;
  std::vector<Point> anchors;  // always two: start, end
};

namespace ocr {

// Error codes of the recognizer's failures, written in decimal before the message.
inline constexpr uint32_t kInvalidArgument = 0x80070057u;  // 2147942487: bad input
inline constexpr uint32_t kFail = 0x80004005u;             // 2147500037: anything else
inline constexpr uint32_t kCancelled = 0x800704C7u;        // 2147943623: the request went away

// A failure of the recognizer, carried to the caller as "[code] message".
class RecognizerError : public std::runtime_error {
 public:
  RecognizerError(uint32_t code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

struct Language {
  std::string tag;          // e.g. "en", "zh-Hans"
  std::string displayName;  // in English, e.g. "English"
};

// What the recognizer reports: word boxes in pixels of the bitmap, and a text angle when it has
// one (boxes are then in the frame turned by that angle).
struct WordBox {
  std::string text;
  float x = 0, y = 0, width = 0, height = 0;
};
struct RawLine {
  std::string text;
  std::vector<WordBox> words;
};
struct RawResult {
  std::optional<double> textAngle;
  std::vector<RawLine> lines;
};

// An image ready for recognition.
class Bitmap {
 public:
  virtual ~Bitmap() = default;
  virtual int32_t width() const = 0;
  virtual int32_t height() const = 0;
};

using CancelCheck = std::function<bool()>;

// The recognizer behind the rules. Every call may throw RecognizerError or another std::exception.
class Recognizer {
 public:
  virtual ~Recognizer() = default;
  // The installed recognition languages, in a stable order.
  virtual std::vector<Language> availableLanguages() = 0;
  // The recognizer's name of the language a tag asks for, or empty when it has none for that tag.
  // A tag it cannot read at all throws RecognizerError(kInvalidArgument, ...).
  virtual std::string languageFor(const std::string& tag) = 0;
  // The languages of the user's profile, in order of preference.
  virtual std::vector<std::string> profileLanguages() = 0;
  virtual std::unique_ptr<Bitmap> bitmapFromPixels(const uint8_t* rgba, size_t length,
                                                   int32_t width, int32_t height) = 0;
  virtual std::unique_ptr<Bitmap> bitmapFromEncoded(const uint8_t* bytes, size_t length) = 0;
  virtual RawResult recognize(const Bitmap& bitmap, const std::string& language,
                              const CancelCheck& cancelled) = 0;
};

// The recognizer every operation below uses: Tesseract unless a test put another in place.
std::shared_ptr<Recognizer> recognizer();
// Replaces the recognizer (null: back to Tesseract); returns the previous one.
std::shared_ptr<Recognizer> setRecognizer(std::shared_ptr<Recognizer> replacement);
// The Tesseract recognizer over a data folder ("" : $TESSDATA_PREFIX, else the package's).
std::shared_ptr<Recognizer> makeTesseractRecognizer(const std::string& dataFolder = "");

// The user's profile languages from $LANGUAGE, $LC_ALL, $LC_MESSAGES, $LANG ("de_DE.UTF-8" reads
// "de-DE"); the C and POSIX locales, or none, mean English. `getenv` is replaceable for tests.
std::vector<std::string> profileLanguagesFromEnvironment(
    const std::function<const char*(const char*)>& getenv = nullptr);

bool isSupported();
bool supportsAutoLanguage();
// Throws std::runtime_error with the recognizer's message when the list cannot be read.
std::vector<Language> supportedLanguages();

// The common core: engine choice by the first requested language, recognition, and the box and
// anchor rules.
std::vector<RecognizedLine> recognizeBitmap(Recognizer& engine, const Bitmap& bitmap,
                                            const std::vector<std::string>& languages,
                                            const CancelCheck& cancelled);

// The box, anchor and turning rules applied to what the recognizer reported, for a bitmap of the
// given size.
std::vector<RecognizedLine> shapeLines(const RawResult& raw, int32_t bitmapWidth,
                                       int32_t bitmapHeight);

}  // namespace ocr

// Both forms turn every failure into a std::exception: a recognizer error as
// "[<code>] <message>", another std::exception with its own text, anything else as
// "Error in recognizeText". No partial result is ever returned.
std::vector<RecognizedLine> recognizeText(const std::vector<uint8_t>& rgba, int32_t width,
                                          int32_t height,
                                          const std::vector<std::string>& languages,
                                          const ocr::CancelCheck& cancelled = nullptr);
std::vector<RecognizedLine> recognizeText(const std::vector<uint8_t>& encoded,
                                          const std::vector<std::string>& languages,
                                          const ocr::CancelCheck& cancelled = nullptr);

}  // namespace zrk
