#include "toast/template.h"

#include <array>
#include <stdexcept>

#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include "desk/sysinfo.h"
#include "vesk/strings.h"

namespace toast {

namespace {

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

std::string utf8(const std::u16string& text) { return zrk::toUtf8(text); }

// The first element of that name in document order, or null.
xmlNodePtr findElement(xmlNodePtr node, const char* name) {
  for (xmlNodePtr n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (xmlStrcmp(n->name, X(name)) == 0) return n;
    if (xmlNodePtr inner = findElement(n->children, name)) return inner;
  }
  return nullptr;
}

void collectElements(xmlNodePtr node, const char* name, std::vector<xmlNodePtr>& out) {
  for (xmlNodePtr n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (xmlStrcmp(n->name, X(name)) == 0) out.push_back(n);
    collectElements(n->children, name, out);
  }
}

xmlNodePtr firstElement(Document& doc, const char* name) {
  if (!doc) return nullptr;
  return findElement(xmlDocGetRootElement(doc.get()), name);
}

std::vector<xmlNodePtr> elementsByTag(Document& doc, const char* name) {
  std::vector<xmlNodePtr> out;
  if (doc) collectElements(xmlDocGetRootElement(doc.get()), name, out);
  return out;
}

void setAttribute(xmlNodePtr element, const char* name, const std::string& value) {
  xmlSetProp(element, X(name), X(value.c_str()));
}

// Appending text to an attribute extends its value.
void appendToAttribute(xmlNodePtr element, const char* name, const std::string& text) {
  xmlChar* old = xmlGetProp(element, X(name));
  std::string value = old != nullptr ? reinterpret_cast<const char*>(old) : "";
  xmlFree(old);
  setAttribute(element, name, value + text);
}

void appendTextNode(xmlNodePtr element, const std::string& text) {
  xmlAddChild(element, xmlNewDocTextLen(element->doc, X(text.c_str()), static_cast<int>(text.size())));
}

xmlNodePtr newChild(xmlNodePtr parent, const char* name) {
  return xmlNewChild(parent, nullptr, X(name), nullptr);
}

const char* const kTemplateNames[] = {"ToastImageAndText01", "ToastImageAndText02",
                                      "ToastImageAndText03", "ToastImageAndText04",
                                      "ToastText01",         "ToastText02",
                                      "ToastText03",         "ToastText04"};

}  // namespace

// ---- the template ------------------------------------------------------------------------------

size_t ToastTemplate::textFieldCount(int32_t kind) {
  static constexpr size_t kCounts[] = {1, 2, 2, 3, 1, 2, 2, 3};
  return kind >= 0 && kind < 8 ? kCounts[kind] : 0;
}

const std::u16string& ToastTemplate::systemSoundUri(SystemSound sound) {
  static const std::array<std::u16string, 26> kUris = [] {
    std::array<std::u16string, 26> uris;
    const std::u16string prefix = u"ms-winsoundevent:Notification.";
    uris[0] = prefix + u"Default";
    uris[1] = prefix + u"IM";
    uris[2] = prefix + u"Mail";
    uris[3] = prefix + u"Reminder";
    uris[4] = prefix + u"SMS";
    uris[5] = prefix + u"Looping.Alarm";
    for (int i = 2; i <= 10; ++i) uris[4 + i] = prefix + u"Looping.Alarm" + zrk::toUtf16(std::to_string(i));
    uris[15] = prefix + u"Looping.Call";
    for (int i = 1; i <= 10; ++i) uris[15 + i] = prefix + u"Looping.Call" + zrk::toUtf16(std::to_string(i));
    return uris;
  }();
  static const std::u16string kNone;
  return sound >= 0 && sound < 26 ? kUris[static_cast<size_t>(sound)] : kNone;
}

ToastTemplate::ToastTemplate(int32_t kind) : kind_(kind) {
  const size_t count = textFieldCount(kind);
  if (count == 0) throw std::invalid_argument("unknown toast template kind");
  texts_.assign(count, std::u16string());
}

void ToastTemplate::setText(const std::u16string& text, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= texts_.size()) return;
  texts_[static_cast<size_t>(index)] = text;
}

void ToastTemplate::setSystemSound(SystemSound sound) {
  if (sound < 0 || sound > 25) return;
  soundPath_ = systemSoundUri(sound);
}

void ToastTemplate::setScenario(int32_t scenario) {
  static const char16_t* const kWords[] = {u"Default", u"Alarm", u"IncomingCall", u"Reminder"};
  if (scenario < 0 || scenario > 3) return;
  scenario_ = kWords[scenario];
}

void ToastTemplate::addAction(const std::u16string& label, const std::u16string& argument) {
  actions_.emplace_back(label, argument);
}

void ToastTemplate::addAction(const std::u16string& label) {
  addAction(label, zrk::toUtf16(std::to_string(actions_.size())));
}

// ---- documents ---------------------------------------------------------------------------------

Document Document::parse(const std::string& xml) {
  xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "toast.xml", "UTF-8",
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  return Document(doc);
}

Document Document::base(int32_t kind) {
  const size_t count = ToastTemplate::textFieldCount(kind);
  if (count == 0) return Document();
  std::string xml = "<toast><visual><binding template=\"";
  xml += kTemplateNames[kind];
  xml += "\">";
  if (kind < 4) xml += "<image id=\"1\" src=\"\"/>";
  for (size_t i = 1; i <= count; ++i) xml += "<text id=\"" + std::to_string(i) + "\"></text>";
  xml += "</binding></visual></toast>";
  return parse(xml);
}

std::string Document::serialize() const {
  if (!doc_) return std::string();
  xmlBufferPtr buffer = xmlBufferCreate();
  xmlSaveCtxtPtr ctxt = xmlSaveToBuffer(buffer, "UTF-8", XML_SAVE_NO_DECL | XML_SAVE_NO_EMPTY);
  xmlSaveDoc(ctxt, doc_.get());
  xmlSaveClose(ctxt);
  std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                   static_cast<size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ---- version gates -----------------------------------------------------------------------------

namespace {
desk::OSVERSIONINFOW systemVersion() {
  desk::OSVERSIONINFOW info;
  info.dwOSVersionInfoSize = sizeof(info);
  if (desk::RtlGetVersion(&info) != 0) return desk::OSVERSIONINFOW{};
  return info;
}
}  // namespace

bool supportsModernToasts() { return systemVersion().dwMajorVersion > 6; }
bool supportsAnniversaryFeatures() { return systemVersion().dwBuildNumber >= 14393; }

// ---- the builder -------------------------------------------------------------------------------

HRESULT makeBindingGeneric(Document& doc) {
  xmlNodePtr binding = firstElement(doc, "binding");
  if (binding == nullptr) return E_FAIL;
  setAttribute(binding, "template", "ToastGeneric");
  return S_OK;
}

HRESULT fillTextElement(Document& doc, const std::u16string& text, size_t index) {
  const auto texts = elementsByTag(doc, "text");
  if (index >= texts.size()) return E_FAIL;
  appendTextNode(texts[index], utf8(text));
  return S_OK;
}

HRESULT addAttributionElement(Document& doc, const std::u16string& text) {
  xmlNodePtr binding = firstElement(doc, "binding");
  if (binding == nullptr) return E_FAIL;
  xmlNodePtr element = newChild(binding, "text");
  setAttribute(element, "placement", "");
  const auto texts = elementsByTag(doc, "text");
  for (size_t i = 0; i < texts.size(); ++i) {
    if (xmlHasProp(texts[i], X("placement")) == nullptr) continue;
    appendToAttribute(texts[i], "placement", "attribution");
    return fillTextElement(doc, text, i);
  }
  return E_FAIL;
}

HRESULT addActionElement(Document& doc, const std::u16string& label,
                         const std::u16string& argument) {
  xmlNodePtr actions = firstElement(doc, "actions");
  if (actions == nullptr) {
    xmlNodePtr toastElement = firstElement(doc, "toast");
    if (toastElement == nullptr) return E_FAIL;
    setAttribute(toastElement, "template", "ToastGeneric");
    setAttribute(toastElement, "duration", "long");
    actions = newChild(toastElement, "actions");
  }
  xmlNodePtr action = newChild(actions, "action");
  setAttribute(action, "content", utf8(label));
  setAttribute(action, "arguments", utf8(argument));
  return S_OK;
}

HRESULT addAudioElement(Document& doc, const std::u16string& soundPath, int32_t soundMode) {
  xmlNodePtr toastElement = firstElement(doc, "toast");
  if (toastElement == nullptr) return E_FAIL;
  xmlNodePtr audio = newChild(toastElement, "audio");
  if (!soundPath.empty()) setAttribute(audio, "src", utf8(soundPath));
  if (soundMode == ToastTemplate::Loop) setAttribute(audio, "loop", "true");
  if (soundMode == ToastTemplate::Silent) setAttribute(audio, "silent", "true");
  return S_OK;
}

HRESULT setToastDuration(Document& doc, const std::u16string& word) {
  xmlNodePtr toastElement = firstElement(doc, "toast");
  if (toastElement == nullptr) return E_FAIL;
  setAttribute(toastElement, "duration", utf8(word));
  return S_OK;
}

HRESULT setToastScenario(Document& doc, const std::u16string& word) {
  xmlNodePtr toastElement = firstElement(doc, "toast");
  if (toastElement == nullptr) return E_FAIL;
  setAttribute(toastElement, "scenario", utf8(word));
  return S_OK;
}

HRESULT fillImageElement(Document& doc, const std::u16string& path, bool generic, bool circle) {
  // "file:///" and the path must leave room for a terminator in 260 units.
  static constexpr size_t kBuffer = 260;
  static const std::u16string kPrefix = u"file:///";
  if (kPrefix.size() + path.size() + 1 > kBuffer) return E_INSUFFICIENT_BUFFER;
  xmlNodePtr image = firstElement(doc, "image");
  if (image == nullptr) return E_FAIL;
  if (generic) {
    setAttribute(image, "placement", "appLogoOverride");
    if (circle) setAttribute(image, "hint-crop", "circle");
  }
  appendToAttribute(image, "src", utf8(kPrefix + path));
  return S_OK;
}

HRESULT addHeroImageElement(Document& doc, const std::u16string& path, bool inlineImage) {
  xmlNodePtr binding = firstElement(doc, "binding");
  if (binding == nullptr) return E_FAIL;
  xmlNodePtr image = newChild(binding, "image");
  if (!inlineImage) setAttribute(image, "placement", "hero");
  setAttribute(image, "src", utf8(path));
  return S_OK;
}

HRESULT buildDocument(const ToastTemplate& toast, Document& doc) {
  HRESULT hr = S_OK;
  if (toast.isGeneric() && (hr = makeBindingGeneric(doc)) < 0) return hr;
  for (size_t i = 0; i < toast.textCount(); ++i) {
    if ((hr = fillTextElement(doc, toast.text(i), i)) < 0) return hr;
  }
  if (supportsModernToasts()) {
    if (!toast.attribution().empty() && (hr = addAttributionElement(doc, toast.attribution())) < 0)
      return hr;
    for (size_t i = 0; i < toast.actionCount(); ++i) {
      const auto action = toast.action(i);
      if ((hr = addActionElement(doc, action.first, action.second)) < 0) return hr;
    }
    if (!toast.soundPath().empty() || toast.soundMode() != ToastTemplate::Default) {
      if ((hr = addAudioElement(doc, toast.soundPath(), toast.soundMode())) < 0) return hr;
    }
    if (toast.duration() != ToastTemplate::System) {
      hr = setToastDuration(doc, toast.duration() == ToastTemplate::Short ? u"short" : u"long");
      if (hr < 0) return hr;
    }
    if ((hr = setToastScenario(doc, toast.scenario())) < 0) return hr;
  }
  const bool anniversary = supportsAnniversaryFeatures();
  const bool circle = anniversary && toast.crop() == ToastTemplate::Circle;
  // A template without a logo keeps the image element as it came: an empty "file:///" reference
  // names no file.
  if (toast.hasImage() && !toast.imagePath().empty()) {
    if ((hr = fillImageElement(doc, toast.imagePath(), toast.isGeneric(), circle)) < 0) return hr;
  }
  if (anniversary && toast.hasHeroImage()) {
    if ((hr = addHeroImageElement(doc, toast.heroImagePath(), toast.isInlineHeroImage())) < 0)
      return hr;
  }
  return S_OK;
}

}  // namespace toast
