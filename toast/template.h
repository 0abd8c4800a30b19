// A toast notification as a value (ToastTemplate), the toast documents it becomes, and the builder
// that turns a template kind's base document into the document that is shown.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <libxml/tree.h>

namespace toast {

// A platform result code: negative is a failure.
using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
// The image reference does not fit its buffer.
constexpr HRESULT E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007Au);

class ToastTemplate {
 public:
  enum Kind : int32_t {
    ImageAndText01 = 0,
    ImageAndText02 = 1,
    ImageAndText03 = 2,
    ImageAndText04 = 3,
    Text01 = 4,
    Text02 = 5,
    Text03 = 6,
    Text04 = 7,
  };
  enum Duration : int32_t { System = 0, Short = 1, Long = 2 };
  enum SoundMode : int32_t { Default = 0, Silent = 1, Loop = 2 };
  enum Crop : int32_t { Square = 0, Circle = 1 };
  enum Scenario : int32_t {
    ScenarioDefault = 0,
    ScenarioAlarm = 1,
    ScenarioIncomingCall = 2,
    ScenarioReminder = 3,
  };
  // 0 Default, 1 IM, 2 Mail, 3 Reminder, 4 SMS, 5-14 the looping alarms, 15-25 the looping calls.
  using SystemSound = int32_t;

  // The kind must be one of the eight kinds: any other value throws std::invalid_argument.
  explicit ToastTemplate(int32_t kind);

  // An index at or past the text count (or negative) is ignored.
  void setText(const std::u16string& text, int32_t index);
  void setFirstLine(const std::u16string& text) { setText(text, 0); }
  void setSecondLine(const std::u16string& text) { setText(text, 1); }
  void setThirdLine(const std::u16string& text) { setText(text, 2); }
  void setImage(const std::u16string& path, int32_t crop) {
    imagePath_ = path;
    crop_ = crop;
  }
  void setHeroImage(const std::u16string& path, bool inlineImage) {
    heroImagePath_ = path;
    inlineHero_ = inlineImage;
  }
  void setSoundPath(const std::u16string& path) { soundPath_ = path; }
  // The sound's URI becomes the sound path; a value outside 0 to 25 changes nothing.
  void setSystemSound(SystemSound sound);
  void setSoundMode(int32_t mode) { soundMode_ = mode; }
  void setDuration(int32_t duration) { duration_ = duration; }
  void setExpiration(int64_t milliseconds) { expiration_ = milliseconds; }
  void setAttribution(const std::u16string& text) { attribution_ = text; }
  // A value outside 0 to 3 leaves the scenario as it was.
  void setScenario(int32_t scenario);
  void addAction(const std::u16string& label, const std::u16string& argument);
  // The argument is the number of actions held before this one ("0", "1", ...).
  void addAction(const std::u16string& label);

  int32_t kind() const { return kind_; }
  size_t textCount() const { return texts_.size(); }
  const std::u16string& text(size_t index) const { return texts_.at(index); }
  size_t actionCount() const { return actions_.size(); }
  std::pair<std::u16string, std::u16string> action(size_t index) const {
    return actions_.at(index);
  }
  const std::u16string& imagePath() const { return imagePath_; }
  const std::u16string& heroImagePath() const { return heroImagePath_; }
  bool isInlineHeroImage() const { return inlineHero_; }
  const std::u16string& soundPath() const { return soundPath_; }
  int32_t soundMode() const { return soundMode_; }
  const std::u16string& attribution() const { return attribution_; }
  const std::u16string& scenario() const { return scenario_; }
  int64_t expiration() const { return expiration_; }
  int32_t duration() const { return duration_; }
  int32_t crop() const { return crop_; }

  bool hasImage() const { return kind_ < 4; }
  bool hasHeroImage() const { return hasImage() && !heroImagePath_.empty(); }
  bool isGeneric() const { return hasHeroImage() || crop_ == Circle; }

  // The number of text lines of a kind; 0 for a value that is no kind.
  static size_t textFieldCount(int32_t kind);
  // The URI of a system sound; empty outside 0 to 25.
  static const std::u16string& systemSoundUri(SystemSound sound);

 private:
  std::vector<std::u16string> texts_;
  std::vector<std::pair<std::u16string, std::u16string>> actions_;
  std::u16string imagePath_;
  std::u16string heroImagePath_;
  bool inlineHero_ = false;
  std::u16string soundPath_;
  std::u16string attribution_;
  std::u16string scenario_ = u"Default";
  int64_t expiration_ = 0;
  int32_t soundMode_ = Default;
  int32_t kind_;
  int32_t duration_ = System;
  int32_t crop_ = Square;
};

// An XML document owned by its holder.
class Document {
 public:
  Document() = default;
  explicit Document(xmlDocPtr doc) : doc_(doc, &xmlFreeDoc) {}

  // Parses UTF-8 XML text; an empty document when it is not well formed.
  static Document parse(const std::string& xml);
  // The template document of a kind: a toast element holding one binding with the kind's text
  // elements (and, for an image kind, an image element with an empty src). Empty for a value that
  // is no kind.
  static Document base(int32_t kind);

  xmlDocPtr get() const { return doc_.get(); }
  explicit operator bool() const { return doc_ != nullptr; }
  // The document as UTF-8 text, without the XML declaration.
  std::string serialize() const;

 private:
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc_{nullptr, &xmlFreeDoc};
};

// The system's version gates, read anew on every call.
bool supportsModernToasts();
bool supportsAnniversaryFeatures();

// The builder's steps. Each returns S_OK or the failure that ended it; a missing element fails
// with E_FAIL.
HRESULT makeBindingGeneric(Document& doc);
HRESULT fillTextElement(Document& doc, const std::u16string& text, size_t index);
HRESULT addAttributionElement(Document& doc, const std::u16string& text);
HRESULT addActionElement(Document& doc, const std::u16string& label,
                         const std::u16string& argument);
HRESULT addAudioElement(Document& doc, const std::u16string& soundPath, int32_t soundMode);
HRESULT setToastDuration(Document& doc, const std::u16string& word);
HRESULT setToastScenario(Document& doc, const std::u16string& word);
// The image reference "file:///" + path must fit 259 characters: a path of 252 or more fails
// with E_INSUFFICIENT_BUFFER and writes nothing.
HRESULT fillImageElement(Document& doc, const std::u16string& path, bool generic, bool circle);
HRESULT addHeroImageElement(Document& doc, const std::u16string& path, bool inlineImage);

// Runs the builder over the base document of the template's kind; stops at the first failing
// step and returns its code.
HRESULT buildDocument(const ToastTemplate& toast, Document& doc);

}  // namespace toast
