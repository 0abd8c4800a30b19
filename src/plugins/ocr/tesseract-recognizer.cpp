// The recognizer on Tesseract and Leptonica: languages are the data folder's "*.traineddata"
// models, pixels go in as they are, encoded images through Leptonica's readers. Tesseract reports
// word boxes in image coordinates already, so no text angle is reported.
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include "src/plugins/ocr/ocr-engine.h"

namespace zrk::ocr {
namespace {

constexpr const char* kPackageDataFolder = "/usr/share/tesseract-ocr/5/tessdata";

// Language tags and Tesseract's model names, with their English display names. A tag matches by
// its full form first, then by its primary language.
struct LanguageRow {
  const char* tag;
  const char* model;
  const char* name;
};
constexpr LanguageRow kLanguages[] = {
    {"af", "afr", "Afrikaans"},        {"ar", "ara", "Arabic"},
    {"bg", "bul", "Bulgarian"},        {"bn", "ben", "Bangla"},
    {"ca", "cat", "Catalan"},          {"cs", "ces", "Czech"},
    {"cy", "cym", "Welsh"},            {"da", "dan", "Danish"},
    {"de", "deu", "German"},           {"el", "ell", "Greek"},
    {"en", "eng", "English"},          {"es", "spa", "Spanish"},
    {"et", "est", "Estonian"},         {"eu", "eus", "Basque"},
    {"fa", "fas", "Persian"},          {"fi", "fin", "Finnish"},
    {"fr", "fra", "French"},           {"ga", "gle", "Irish"},
    {"gl", "glg", "Galician"},         {"he", "heb", "Hebrew"},
    {"hi", "hin", "Hindi"},            {"hr", "hrv", "Croatian"},
    {"hu", "hun", "Hungarian"},        {"id", "ind", "Indonesian"},
    {"is", "isl", "Icelandic"},        {"it", "ita", "Italian"},
    {"ja", "jpn", "Japanese"},         {"ko", "kor", "Korean"},
    {"lt", "lit", "Lithuanian"},       {"lv", "lav", "Latvian"},
    {"ms", "msa", "Malay"},            {"mt", "mlt", "Maltese"},
    {"nb", "nor", "Norwegian"},        {"nl", "nld", "Dutch"},
    {"pl", "pol", "Polish"},           {"pt", "por", "Portuguese"},
    {"ro", "ron", "Romanian"},         {"ru", "rus", "Russian"},
    {"sk", "slk", "Slovak"},           {"sl", "slv", "Slovenian"},
    {"sq", "sqi", "Albanian"},         {"sr", "srp", "Serbian"},
    {"sv", "swe", "Swedish"},          {"th", "tha", "Thai"},
    {"tr", "tur", "Turkish"},          {"uk", "ukr", "Ukrainian"},
    {"vi", "vie", "Vietnamese"},       {"zh-Hans", "chi_sim", "Chinese (Simplified)"},
    {"zh-Hant", "chi_tra", "Chinese (Traditional)"},
};

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A language tag: letter-and-digit subtags of 1-8 characters joined by "-" (or "_"), the first
// all letters and 2-8 long.
bool isWellFormedTag(const std::string& tag) {
  if (tag.empty()) return false;
  size_t start = 0;
  bool first = true;
  while (true) {
    size_t end = tag.find_first_of("-_", start);
    if (end == std::string::npos) end = tag.size();
    const size_t len = end - start;
    if (len == 0 || len > 8) return false;
    for (size_t i = start; i < end; ++i) {
      const unsigned char c = static_cast<unsigned char>(tag[i]);
      if (first ? !std::isalpha(c) : !std::isalnum(c)) return false;
    }
    if (first && len < 2) return false;
    first = false;
    if (end == tag.size()) return true;
    start = end + 1;
  }
}

class PixBitmap : public Bitmap {
 public:
  explicit PixBitmap(PIX* pix) : pix_(pix) {}
  ~PixBitmap() override { pixDestroy(&pix_); }
  int32_t width() const override { return int32_t(pixGetWidth(pix_)); }
  int32_t height() const override { return int32_t(pixGetHeight(pix_)); }
  PIX* pix() const { return pix_; }

 private:
  PIX* pix_;
};

bool cancelHook(void* data, int) {
  const CancelCheck* check = static_cast<const CancelCheck*>(data);
  return check && *check && (*check)();
}

class TesseractRecognizer : public Recognizer {
 public:
  explicit TesseractRecognizer(std::string folder) : folder_(std::move(folder)) {
    setMsgSeverity(L_SEVERITY_NONE);  // Leptonica's read failures come back as errors, not text
  }

  std::vector<Language> availableLanguages() override {
    std::vector<std::string> models = installedModels();
    std::vector<Language> result;
    for (const std::string& model : models) {
      const LanguageRow* row = nullptr;
      for (const LanguageRow& r : kLanguages) {
        if (model == r.model) row = &r;
      }
      result.push_back(row ? Language{row->tag, row->name} : Language{model, model});
    }
    return result;
  }

  std::string languageFor(const std::string& tag) override {
    if (!isWellFormedTag(tag)) {
      throw RecognizerError(kInvalidArgument, "The language tag \"" + tag + "\" is not valid");
    }
    std::string wanted = lower(tag);
    std::replace(wanted.begin(), wanted.end(), '_', '-');
    std::string model;
    for (const LanguageRow& r : kLanguages) {
      if (lower(r.tag) == wanted) model = r.model;
    }
    if (model.empty()) {
      const std::string primary = wanted.substr(0, wanted.find('-'));
      if (primary == "zh") {
        // Chinese without a script: Traditional for Taiwan, Hong Kong and Macao, else Simplified.
        const bool traditional = wanted.find("-tw") != std::string::npos ||
                                 wanted.find("-hk") != std::string::npos ||
                                 wanted.find("-mo") != std::string::npos;
        model = traditional ? "chi_tra" : "chi_sim";
      }
      for (const LanguageRow& r : kLanguages) {
        if (model.empty() && lower(r.tag) == primary) model = r.model;
      }
    }
    if (model.empty()) return std::string();
    const std::vector<std::string> models = installedModels();
    return std::find(models.begin(), models.end(), model) != models.end() ? model : std::string();
  }

  std::vector<std::string> profileLanguages() override { return profileLanguagesFromEnvironment(); }

  std::unique_ptr<Bitmap> bitmapFromPixels(const uint8_t* rgba, size_t length, int32_t width,
                                           int32_t height) override {
    if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) * 4u != length) {
      throw RecognizerError(kInvalidArgument, "The bitmap size is not valid");
    }
    PIX* pix = pixCreate(width, height, 32);
    if (!pix) throw RecognizerError(kFail, "Cannot create the bitmap");
    pixSetSpp(pix, 4);
    l_uint32* data = pixGetData(pix);
    const l_int32 wpl = pixGetWpl(pix);
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* src = rgba + size_t(y) * size_t(width) * 4;
      l_uint32* line = data + size_t(y) * size_t(wpl);
      for (int32_t x = 0; x < width; ++x, src += 4) {
        composeRGBAPixel(src[0], src[1], src[2], src[3], line + x);
      }
    }
    return std::make_unique<PixBitmap>(pix);
  }

  std::unique_ptr<Bitmap> bitmapFromEncoded(const uint8_t* bytes, size_t length) override {
    if (length == 0) throw RecognizerError(kInvalidArgument, "The image is empty");
    PIX* pix = pixReadMem(bytes, length);
    if (!pix) throw RecognizerError(kInvalidArgument, "The image cannot be decoded");
    if (pixGetWidth(pix) <= 0 || pixGetHeight(pix) <= 0) {
      pixDestroy(&pix);
      throw RecognizerError(kInvalidArgument, "The image is empty");
    }
    return std::make_unique<PixBitmap>(pix);
  }

  RawResult recognize(const Bitmap& bitmap, const std::string& language,
                      const CancelCheck& cancelled) override {
    const PixBitmap& pixBitmap = static_cast<const PixBitmap&>(bitmap);
    std::lock_guard<std::mutex> lock(mutex_);
    tesseract::TessBaseAPI& api = engineFor(language);
    api.SetImage(pixBitmap.pix());
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = &cancelHook;
    monitor.cancel_this = const_cast<CancelCheck*>(&cancelled);
    const int status = api.Recognize(&monitor);
    if (cancelled && cancelled()) {
      api.Clear();
      throw RecognizerError(kCancelled, "The operation was canceled");
    }
    if (status != 0) {
      api.Clear();
      throw RecognizerError(kFail, "Text recognition failed");
    }
    RawResult result;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
      do {
        if (it->Empty(tesseract::RIL_TEXTLINE)) continue;
        RawLine line;
        std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
        if (text) line.text = text.get();
        while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) {
          line.text.pop_back();
        }
        do {
          if (it->Empty(tesseract::RIL_WORD)) continue;
          int left = 0, top = 0, right = 0, bottom = 0;
          if (!it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom)) continue;
          WordBox word;
          std::unique_ptr<char[]> wordText(it->GetUTF8Text(tesseract::RIL_WORD));
          if (wordText) word.text = wordText.get();
          word.x = float(left);
          word.y = float(top);
          word.width = float(right - left);
          word.height = float(bottom - top);
          line.words.push_back(std::move(word));
        } while (!it->IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) &&
                 it->Next(tesseract::RIL_WORD));
        result.lines.push_back(std::move(line));
      } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    it.reset();
    api.Clear();
    return result;
  }

 private:
  std::vector<std::string> installedModels() {
    std::vector<std::string> models;
    DIR* dir = opendir(folder_.c_str());
    if (!dir) return models;
    const std::string suffix = ".traineddata";
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() <= suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      name.resize(name.size() - suffix.size());
      if (name == "osd" || name == "equ") continue;
      models.push_back(name);
    }
    closedir(dir);
    std::sort(models.begin(), models.end());
    return models;
  }

  // One initialised engine per language, kept for the next call. Called with the mutex held.
  tesseract::TessBaseAPI& engineFor(const std::string& language) {
    auto found = engines_.find(language);
    if (found != engines_.end()) return *found->second;
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", "/dev/null");
    if (api->Init(folder_.c_str(), language.c_str(), tesseract::OEM_LSTM_ONLY) != 0) {
      throw RecognizerError(kFail, "Cannot load the recognition model \"" + language + "\"");
    }
    api->SetPageSegMode(tesseract::PSM_AUTO);
    return *engines_.emplace(language, std::move(api)).first->second;
  }

  std::string folder_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>> engines_;
};

}  // namespace

std::shared_ptr<Recognizer> makeTesseractRecognizer(const std::string& dataFolder) {
  std::string folder = dataFolder;
  if (folder.empty()) {
    const char* prefix = std::getenv("TESSDATA_PREFIX");
    folder = prefix && *prefix ? prefix : kPackageDataFolder;
  }
  return std::make_shared<TesseractRecognizer>(folder);
}

}  // namespace zrk::ocr
