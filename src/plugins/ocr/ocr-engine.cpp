#include "src/plugins/ocr/ocr-engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "vesk/log.h"

namespace zrk {
namespace ocr {
namespace {

std::mutex g_recognizerMutex;
std::shared_ptr<Recognizer> g_recognizer;

// "de_DE.UTF-8@euro" -> "de-DE"; "" for the C and POSIX locales and for nothing.
std::string tagFromLocale(std::string text) {
  const size_t cut = text.find_first_of(".@");
  if (cut != std::string::npos) text.resize(cut);
  if (text.empty() || text == "C" || text == "POSIX") return std::string();
  std::replace(text.begin(), text.end(), '_', '-');
  return text;
}

}  // namespace

std::shared_ptr<Recognizer> recognizer() {
  std::lock_guard<std::mutex> lock(g_recognizerMutex);
  if (!g_recognizer) g_recognizer = makeTesseractRecognizer();
  return g_recognizer;
}

std::shared_ptr<Recognizer> setRecognizer(std::shared_ptr<Recognizer> replacement) {
  std::lock_guard<std::mutex> lock(g_recognizerMutex);
  std::shared_ptr<Recognizer> previous = std::move(g_recognizer);
  g_recognizer = std::move(replacement);
  return previous;
}

std::vector<std::string> profileLanguagesFromEnvironment(
    const std::function<const char*(const char*)>& getenvFn) {
  auto get = [&](const char* name) -> std::string {
    const char* value = getenvFn ? getenvFn(name) : std::getenv(name);
    return value ? std::string(value) : std::string();
  };
  std::vector<std::string> tags;
  auto add = [&](const std::string& tag) {
    if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end()) {
      tags.push_back(tag);
    }
  };
  // $LANGUAGE is a list and only counts when the locale is not C (as gettext reads it).
  const char* localeVars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string locale;
  for (const char* name : localeVars) {
    locale = get(name);
    if (!locale.empty()) break;
  }
  const std::string localeTag = tagFromLocale(locale);
  if (!localeTag.empty()) {
    const std::string list = get("LANGUAGE");
    size_t start = 0;
    while (start <= list.size()) {
      const size_t end = std::min(list.find(':', start), list.size());
      add(tagFromLocale(list.substr(start, end - start)));
      start = end + 1;
    }
    add(localeTag);
  }
  if (tags.empty()) tags.push_back("en");
  return tags;
}

bool isSupported() {
  try {
    return !recognizer()->availableLanguages().empty();
  } catch (...) {
    return false;
  }
}

bool supportsAutoLanguage() { return false; }

std::vector<Language> supportedLanguages() {
  try {
    return recognizer()->availableLanguages();
  } catch (const RecognizerError& e) {
    throw std::runtime_error(e.what());
  }
}

std::vector<RecognizedLine> shapeLines(const RawResult& raw, int32_t bitmapWidth,
                                       int32_t bitmapHeight) {
  const double cx = double(bitmapWidth) * 0.5;
  const double cy = double(bitmapHeight) * 0.5;
  const bool turn = raw.textAngle.has_value() && !(*raw.textAngle == 0.0);
  const double a = turn ? *raw.textAngle * M_PI / 180.0 : 0.0;
  auto rotate = [&](float& x, float& y) {
    const double dx = double(x) - cx;
    const double dy = double(y) - cy;
    const double nx = std::cos(a) * dx - std::sin(a) * dy + cx;
    const double ny = std::cos(a) * dy + std::sin(a) * dx + cy;
    x = float(nx);
    y = float(ny);
  };
  if (raw.textAngle) ZRK_LOG_INFO("[OCR] angle: %.2f", *raw.textAngle);

  std::vector<RecognizedLine> lines;
  lines.reserve(raw.lines.size());
  for (const RawLine& rawLine : raw.lines) {
    ZRK_LOG_INFO("[LINE] Recognized text: %s", rawLine.text.c_str());
    RecognizedLine line;
    line.confidence = 1.0;
    line.text = rawLine.text;
    RecognizedLine::Point start, end;
    float minX = std::numeric_limits<float>::max(), minY = std::numeric_limits<float>::max();
    float maxX = 0, maxY = 0;
    for (const WordBox& w : rawLine.words) {
      ZRK_LOG_INFO("[WORD] %s @(%.2f, %.2f, %.2f, %.2f)", w.text.c_str(), double(w.x),
                   double(w.y), double(w.width), double(w.height));
      minX = std::min(minX, w.x);
      minY = std::min(minY, w.y);
      maxX = std::max(maxX, w.x + w.width);
      maxY = std::max(maxY, w.y + w.height);
    }
    if (rawLine.words.empty()) {
      // A line without words has no box: an empty one at the origin rather than the running
      // extremes (which would give a box of minus the largest float).
      minX = minY = maxX = maxY = 0;
    } else {
      const WordBox& first = rawLine.words.front();
      const WordBox& last = rawLine.words.back();
      start = {first.x, first.y};
      end = {last.x + last.width, last.y};
    }
    if (turn) {
      rotate(start.x, start.y);
      rotate(end.x, end.y);
      if (!rawLine.words.empty()) {
        rotate(minX, minY);
        rotate(maxX, maxY);
      }
    }
    line.x = minX;
    line.y = minY;
    line.width = maxX - minX;
    line.height = maxY - minY;
    line.anchors = {start, end};
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<RecognizedLine> recognizeBitmap(Recognizer& engine, const Bitmap& bitmap,
                                            const std::vector<std::string>& languages,
                                            const CancelCheck& cancelled) {
  std::string tag;
  if (!languages.empty()) {
    tag = languages.front();
  } else {
    const std::vector<std::string> profile = engine.profileLanguages();
    if (!profile.empty()) tag = profile.front();
  }
  std::string language = engine.languageFor(tag);
  if (language.empty()) {
    ZRK_LOG_WARN("Failed to create OCR engine for language, try default language");
    for (const std::string& candidate : engine.profileLanguages()) {
      try {
        language = engine.languageFor(candidate);
      } catch (const RecognizerError&) {
        language.clear();
      }
      if (!language.empty()) break;
    }
  }
  if (language.empty()) throw std::runtime_error("No OCR engine available");
  const RawResult raw = engine.recognize(bitmap, language, cancelled);
  return shapeLines(raw, bitmap.width(), bitmap.height());
}

}  // namespace ocr

namespace {

template <typename F>
std::vector<RecognizedLine> guarded(F&& work) {
  try {
    return work();
  } catch (const ocr::RecognizerError& e) {
    throw std::runtime_error("[" + std::to_string(e.code()) + "] " + e.what());
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  } catch (...) {
    throw std::runtime_error("Error in recognizeText");
  }
}

}  // namespace

std::vector<RecognizedLine> recognizeText(const std::vector<uint8_t>& rgba, int32_t width,
                                          int32_t height,
                                          const std::vector<std::string>& languages,
                                          const ocr::CancelCheck& cancelled) {
  return guarded([&] {
    std::shared_ptr<ocr::Recognizer> engine = ocr::recognizer();
    std::unique_ptr<ocr::Bitmap> bitmap =
        engine->bitmapFromPixels(rgba.data(), rgba.size(), width, height);
    return ocr::recognizeBitmap(*engine, *bitmap, languages, cancelled);
  });
}

std::vector<RecognizedLine> recognizeText(const std::vector<uint8_t>& encoded,
                                          const std::vector<std::string>& languages,
                                          const ocr::CancelCheck& cancelled) {
  return guarded([&] {
    std::shared_ptr<ocr::Recognizer> engine = ocr::recognizer();
    std::unique_ptr<ocr::Bitmap> bitmap = engine->bitmapFromEncoded(encoded.data(), encoded.size());
    return ocr::recognizeBitmap(*engine, *bitmap, languages, cancelled);
  });
}

}  // namespace zrk
