// A scripted recognizer: fixed languages and results, and a record of what it was asked.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "src/plugins/ocr/ocr-engine.h"

class FakeBitmap : public zrk::ocr::Bitmap {
 public:
  FakeBitmap(int32_t w, int32_t h) : w_(w), h_(h) {}
  int32_t width() const override { return w_; }
  int32_t height() const override { return h_; }

 private:
  int32_t w_, h_;
};

class FakeRecognizer : public zrk::ocr::Recognizer {
 public:
  std::vector<zrk::ocr::Language> languages{{"en", "English"}};
  std::map<std::string, std::string> models{{"en", "eng"}, {"en-US", "eng"}};
  std::vector<std::string> profile{"en-US"};
  zrk::ocr::RawResult result;
  int32_t decodedWidth = 200, decodedHeight = 100;
  // Thrown by the next recognize when set.
  std::function<void()> failure;

  std::vector<std::string> asked;  // every tag given to languageFor
  std::string usedLanguage;
  std::string pixelsSeen;
  std::string encodedSeen;

  std::vector<zrk::ocr::Language> availableLanguages() override { return languages; }
  std::string languageFor(const std::string& tag) override {
    asked.push_back(tag);
    if (tag.empty() || tag == "!!") {
      throw zrk::ocr::RecognizerError(zrk::ocr::kInvalidArgument, "bad tag");
    }
    auto it = models.find(tag);
    return it == models.end() ? std::string() : it->second;
  }
  std::vector<std::string> profileLanguages() override { return profile; }
  std::unique_ptr<zrk::ocr::Bitmap> bitmapFromPixels(const uint8_t* rgba, size_t length,
                                                     int32_t width, int32_t height) override {
    if (width <= 0 || height <= 0) {
      throw zrk::ocr::RecognizerError(zrk::ocr::kInvalidArgument, "The bitmap size is not valid");
    }
    pixelsSeen.assign(reinterpret_cast<const char*>(rgba), length);
    return std::make_unique<FakeBitmap>(width, height);
  }
  std::unique_ptr<zrk::ocr::Bitmap> bitmapFromEncoded(const uint8_t* bytes,
                                                      size_t length) override {
    encodedSeen.assign(reinterpret_cast<const char*>(bytes), length);
    if (length == 0) throw zrk::ocr::RecognizerError(zrk::ocr::kInvalidArgument, "empty");
    return std::make_unique<FakeBitmap>(decodedWidth, decodedHeight);
  }
  zrk::ocr::RawResult recognize(const zrk::ocr::Bitmap&, const std::string& language,
                                const zrk::ocr::CancelCheck&) override {
    usedLanguage = language;
    if (failure) failure();
    return result;
  }
};

// Puts a recognizer in place for the life of the object.
class RecognizerScope {
 public:
  explicit RecognizerScope(std::shared_ptr<zrk::ocr::Recognizer> r)
      : previous_(zrk::ocr::setRecognizer(std::move(r))) {}
  ~RecognizerScope() { zrk::ocr::setRecognizer(previous_); }

 private:
  std::shared_ptr<zrk::ocr::Recognizer> previous_;
};
