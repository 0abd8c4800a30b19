// The print spooler over CUPS, and the choice of spooler.
#include "desk/spooler.h"

#include <cups/cups.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "desk/detail/codec.h"

namespace desk {

namespace {

// Text from CUPS is meant to be UTF-8; anything else is replaced, never passed on.
std::string clean(const char* text) {
  if (text == nullptr) return std::string();
  return detail::utf16ToUtf8(detail::utf8ToUtf16(text));
}

const char* option(const cups_dest_t& dest, const char* name) {
  return cupsGetOption(name, dest.num_options, dest.options);
}

std::string destName(const cups_dest_t& dest) {
  std::string name = clean(dest.name);
  if (dest.instance != nullptr && *dest.instance != '\0') name += "/" + clean(dest.instance);
  return name;
}

std::vector<std::string> splitReasons(const char* text) {
  std::vector<std::string> out;
  if (text == nullptr) return out;
  std::string s = text;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(',', start);
    if (end == std::string::npos) end = s.size();
    if (end > start) out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

unsigned printerType(const cups_dest_t& dest) {
  const char* t = option(dest, "printer-type");
  return t ? static_cast<unsigned>(std::strtoul(t, nullptr, 10)) : 0u;
}

// The destinations of the server, freed when the list goes.
struct Dests {
  int count = 0;
  cups_dest_t* list = nullptr;
  Dests() { count = cupsGetDests2(CUPS_HTTP_DEFAULT, &list); }
  ~Dests() { cupsFreeDests(count, list); }
  Dests(const Dests&) = delete;
  Dests& operator=(const Dests&) = delete;
  cups_dest_t* find(const std::string& name) {
    for (int i = 0; i < count; ++i) {
      if (destName(list[i]) == name) return &list[i];
    }
    return nullptr;
  }
};

// The media of a destination, by index, with the default's index (-1 when it has none).
struct MediaList {
  std::vector<cups_size_t> sizes;
  int defaultIndex = -1;
  std::string colorMode;  // print-color-mode's default
  bool ok = false;
};

MediaList readMedia(cups_dest_t* dest) {
  MediaList media;
  cups_dinfo_t* info = cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest);
  if (info == nullptr) return media;
  media.ok = true;
  const int n = cupsGetDestMediaCount(CUPS_HTTP_DEFAULT, dest, info, CUPS_MEDIA_FLAGS_DEFAULT);
  for (int i = 0; i < n; ++i) {
    cups_size_t size;
    std::memset(&size, 0, sizeof size);
    if (cupsGetDestMediaByIndex(CUPS_HTTP_DEFAULT, dest, info, i, CUPS_MEDIA_FLAGS_DEFAULT,
                                &size)) {
      media.sizes.push_back(size);
    }
  }
  // The queue's own default ("media-default"); the library's choice (which may follow the
  // locale) only when the queue names none.
  std::string defaultName;
  if (ipp_attribute_t* def = cupsFindDestDefault(CUPS_HTTP_DEFAULT, dest, info, "media")) {
    if (const char* value = ippGetString(def, 0, nullptr)) defaultName = value;
  }
  if (defaultName.empty()) {
    cups_size_t def;
    std::memset(&def, 0, sizeof def);
    if (cupsGetDestMediaDefault(CUPS_HTTP_DEFAULT, dest, info, CUPS_MEDIA_FLAGS_DEFAULT, &def)) {
      defaultName = def.media;
    }
  }
  for (size_t i = 0; i < media.sizes.size(); ++i) {
    if (defaultName == media.sizes[i].media) {
      media.defaultIndex = static_cast<int>(i);
      break;
    }
  }
  if (ipp_attribute_t* mode = cupsFindDestDefault(CUPS_HTTP_DEFAULT, dest, info,
                                                  "print-color-mode")) {
    const char* value = ippGetString(mode, 0, nullptr);
    if (value != nullptr) media.colorMode = value;
  }
  cupsFreeDestInfo(info);
  return media;
}

// The nominal size a PWG name states ("iso_a4_210x297mm", "na_letter_8.5x11in") in tenths of a
// millimetre: the driver's measure can be a rounded point count (595 points is 209.9 mm).
bool sizeFromMediaName(const std::string& name, int32_t* width, int32_t* height) {
  const size_t last = name.rfind('_');
  if (last == std::string::npos || name.size() < last + 4) return false;
  std::string size = name.substr(last + 1);
  double perUnit = 0;
  if (size.size() > 2 && size.compare(size.size() - 2, 2, "mm") == 0) perUnit = 10.0;
  if (size.size() > 2 && size.compare(size.size() - 2, 2, "in") == 0) perUnit = 254.0;
  if (perUnit == 0) return false;
  size.erase(size.size() - 2);
  const size_t x = size.find('x');
  if (x == std::string::npos) return false;
  char* end = nullptr;
  const std::string w = size.substr(0, x), h = size.substr(x + 1);
  const double wv = std::strtod(w.c_str(), &end);
  if (w.empty() || *end != '\0') return false;
  const double hv = std::strtod(h.c_str(), &end);
  if (h.empty() || *end != '\0' || !(wv > 0) || !(hv > 0) || wv > 10000 || hv > 10000) return false;
  *width = static_cast<int32_t>(wv * perUnit + 0.5);
  *height = static_cast<int32_t>(hv * perUnit + 0.5);
  return true;
}

int16_t codeAt(const MediaList& media, size_t index) {
  const int16_t code = paperCodeForMedia(media.sizes[index].media);
  return code != 0 ? code : static_cast<int16_t>(DMPAPER_USER + index);
}

class CupsSpooler final : public PrintSpooler {
 public:
  std::optional<std::vector<PrinterRecord>> printers() override {
    Dests dests;
    std::vector<PrinterRecord> out;
    for (int i = 0; i < dests.count; ++i) {
      cups_dest_t& dest = dests.list[i];
      PrinterRecord r;
      r.name = destName(dest);
      r.driver = clean(option(dest, "printer-make-and-model"));
      r.port = clean(option(dest, "device-uri"));
      if (const char* location = option(dest, "printer-location")) r.location = clean(location);
      const unsigned type = printerType(dest);
      if ((type & CUPS_PRINTER_REMOTE) != 0) {
        if (const char* uri = option(dest, "printer-uri-supported")) {
          char scheme[32], user[256], host[256], resource[1024];
          int port = 0;
          if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user,
                              host, sizeof host, &port, resource,
                              sizeof resource) >= HTTP_URI_STATUS_OK) {
            r.server = clean(host);
          }
        }
      }
      const char* state = option(dest, "printer-state");
      const char* accepting = option(dest, "printer-is-accepting-jobs");
      r.status = statusWordForCupsState(state ? std::atoi(state) : 3,
                                        splitReasons(option(dest, "printer-state-reasons")),
                                        accepting == nullptr || std::strcmp(accepting, "false") != 0);
      r.attributes = PRINTER_ATTRIBUTE_QUEUED |
                     ((type & CUPS_PRINTER_REMOTE) ? PRINTER_ATTRIBUTE_NETWORK
                                                   : PRINTER_ATTRIBUTE_LOCAL);
      if (dest.is_default) r.attributes |= PRINTER_ATTRIBUTE_DEFAULT;
      const char* shared = option(dest, "printer-is-shared");
      if (shared != nullptr && std::strcmp(shared, "true") == 0) {
        r.attributes |= PRINTER_ATTRIBUTE_SHARED;
      }
      // The device mode: the queue's default colour mode and paper.
      const MediaList media = readMedia(&dest);
      if (media.ok) {
        PrinterDefaults defaults;
        if (!media.colorMode.empty()) {
          defaults.color = media.colorMode == "monochrome" ? DMCOLOR_MONOCHROME : DMCOLOR_COLOR;
        } else {
          defaults.color = (type & CUPS_PRINTER_COLOR) ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
        }
        if (media.defaultIndex >= 0) {
          defaults.paperSize = codeAt(media, static_cast<size_t>(media.defaultIndex));
        }
        r.defaults = defaults;
      }
      out.push_back(std::move(r));
    }
    return out;
  }

  std::string defaultPrinter() override {
    Dests dests;
    for (int i = 0; i < dests.count; ++i) {
      if (dests.list[i].is_default) return destName(dests.list[i]);
    }
    return std::string();
  }

  int colorDevice(const std::string& printer) override {
    Dests dests;
    cups_dest_t* dest = dests.find(printer);
    if (dest == nullptr) return -1;
    return (printerType(*dest) & CUPS_PRINTER_COLOR) ? 1 : 0;
  }

  std::optional<std::vector<PaperRecord>> papers(const std::string& printer) override {
    Dests dests;
    cups_dest_t* dest = dests.find(printer);
    if (dest == nullptr) return std::nullopt;
    cups_dinfo_t* info = cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest);
    if (info == nullptr) return std::nullopt;
    std::vector<PaperRecord> out;
    MediaList media;
    const int n = cupsGetDestMediaCount(CUPS_HTTP_DEFAULT, dest, info, CUPS_MEDIA_FLAGS_DEFAULT);
    for (int i = 0; i < n; ++i) {
      cups_size_t size;
      std::memset(&size, 0, sizeof size);
      if (!cupsGetDestMediaByIndex(CUPS_HTTP_DEFAULT, dest, info, i, CUPS_MEDIA_FLAGS_DEFAULT,
                                   &size)) {
        continue;
      }
      media.sizes.push_back(size);
      PaperRecord p;
      p.code = codeAt(media, media.sizes.size() - 1);
      // CUPS measures in hundredths of a millimetre.
      if (!sizeFromMediaName(size.media, &p.width, &p.height)) {
        p.width = size.width / 10;
        p.height = size.length / 10;
      }
      const char* name =
          cupsLocalizeDestMedia(CUPS_HTTP_DEFAULT, dest, info, CUPS_MEDIA_FLAGS_DEFAULT, &size);
      fillNameSlot(name ? std::string(name) : std::string(size.media), p.name);
      out.push_back(p);
    }
    cupsFreeDestInfo(info);
    return out;
  }
};

std::mutex& spoolerMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<PrintSpooler>& spoolerSlot() {
  static std::shared_ptr<PrintSpooler> slot = std::make_shared<CupsSpooler>();
  return slot;
}

}  // namespace

std::shared_ptr<PrintSpooler> currentSpooler() {
  std::lock_guard<std::mutex> lock(spoolerMutex());
  return spoolerSlot();
}

void setSpooler(std::shared_ptr<PrintSpooler> spooler) {
  std::lock_guard<std::mutex> lock(spoolerMutex());
  spoolerSlot() = spooler ? std::move(spooler) : std::make_shared<CupsSpooler>();
}

int16_t paperCodeForMedia(const std::string& pwgName) {
  static const std::pair<const char*, int16_t> kTable[] = {
      {"na_letter", 1},      {"na_ledger", 4},      {"na_invoice", 6},    {"na_executive", 7},
      {"iso_a3", 8},         {"iso_a4", 9},         {"iso_a5", 11},       {"jis_b4", 12},
      {"jis_b5", 13},        {"na_foolscap", 14},   {"na_quarto", 15},    {"na_10x14", 16},
      {"na_number-9", 19},   {"na_number-10", 20},  {"na_number-11", 21}, {"na_number-12", 22},
      {"na_number-14", 23},  {"iso_dl", 27},        {"iso_c5", 28},       {"iso_c3", 29},
      {"iso_c4", 30},        {"iso_c6", 31},        {"iso_b4", 33},       {"iso_b5", 34},
      {"iso_b6", 35},        {"na_monarch", 37},    {"na_personal", 38},  {"na_legal", 5},
      {"iso_a6", 70},        {"jpn_hagaki", 43},    {"iso_a2", 66},
  };
  // A PWG name is "class_size_WxHunit": the part before the dimensions decides.
  const size_t last = pwgName.rfind('_');
  const std::string stem = last == std::string::npos ? pwgName : pwgName.substr(0, last);
  for (const auto& [name, code] : kTable) {
    if (stem == name) return code;
  }
  return 0;
}

uint32_t statusWordForCupsState(int state, const std::vector<std::string>& reasons,
                                bool acceptingJobs) {
  uint32_t word = 0;
  if (state == 4) word |= PRINTER_STATUS_BUSY;
  if (state == 5) word |= PRINTER_STATUS_PAUSED;
  static const std::pair<const char*, uint32_t> kReasons[] = {
      {"paused", PRINTER_STATUS_PAUSED},
      {"moving-to-paused", PRINTER_STATUS_PAUSED},
      {"door-open", PRINTER_STATUS_DOOR_OPEN},
      {"cover-open", PRINTER_STATUS_DOOR_OPEN},
      {"interlock-open", PRINTER_STATUS_DOOR_OPEN},
      {"offline", PRINTER_STATUS_OFFLINE},
      {"shutdown", PRINTER_STATUS_OFFLINE},
      {"connecting-to-device", PRINTER_STATUS_WAITING},
      {"timed-out", PRINTER_STATUS_OFFLINE},
      {"media-jam", PRINTER_STATUS_PAPER_JAM},
      {"media-empty", PRINTER_STATUS_PAPER_OUT},
      {"media-needed", PRINTER_STATUS_PAPER_OUT},
      {"toner-low", PRINTER_STATUS_TONER_LOW},
      {"toner-empty", PRINTER_STATUS_NO_TONER},
      {"marker-supply-empty", PRINTER_STATUS_NO_TONER},
      {"spool-area-full", PRINTER_STATUS_ERROR},
      {"other", PRINTER_STATUS_ERROR},
  };
  for (std::string reason : reasons) {
    for (const char* suffix : {"-report", "-warning", "-error"}) {
      const size_t n = std::strlen(suffix);
      if (reason.size() > n && reason.compare(reason.size() - n, n, suffix) == 0) {
        reason.erase(reason.size() - n);
        break;
      }
    }
    for (const auto& [name, bit] : kReasons) {
      if (reason == name) word |= bit;
    }
  }
  if (!acceptingJobs) word |= PRINTER_STATUS_NOT_AVAILABLE;
  return word;
}

void fillNameSlot(const std::string& utf8, char16_t (&slot)[64]) {
  std::memset(slot, 0, sizeof slot);
  const std::u16string text = detail::utf8ToUtf16(utf8);
  size_t n = std::min<size_t>(text.size(), 64);
  // A high surrogate at the cut would lose its partner.
  if (n < text.size() && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  for (size_t i = 0; i < n; ++i) slot[i] = text[i];
}

}  // namespace desk
