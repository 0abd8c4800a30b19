// The print spooler: the printers the system knows, their state and the paper sizes each offers.
//
// The real spooler is CUPS (the destinations of the default server, or of $CUPS_SERVER); tests
// put a fake in its place. Records use the spooler's own units and bits: status and attribute
// words, paper codes, sizes in tenths of a millimetre and 64-unit name slots.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desk/types.h"

namespace desk {

// Status bits of a printer.
constexpr uint32_t PRINTER_STATUS_PAUSED = 0x1;
constexpr uint32_t PRINTER_STATUS_ERROR = 0x2;
constexpr uint32_t PRINTER_STATUS_PAPER_JAM = 0x8;
constexpr uint32_t PRINTER_STATUS_PAPER_OUT = 0x10;
constexpr uint32_t PRINTER_STATUS_OFFLINE = 0x80;
constexpr uint32_t PRINTER_STATUS_BUSY = 0x200;
constexpr uint32_t PRINTER_STATUS_PRINTING = 0x400;
constexpr uint32_t PRINTER_STATUS_NOT_AVAILABLE = 0x1000;
constexpr uint32_t PRINTER_STATUS_WAITING = 0x2000;
constexpr uint32_t PRINTER_STATUS_PROCESSING = 0x4000;
constexpr uint32_t PRINTER_STATUS_WARMING_UP = 0x10000;
constexpr uint32_t PRINTER_STATUS_TONER_LOW = 0x20000;
constexpr uint32_t PRINTER_STATUS_NO_TONER = 0x40000;
constexpr uint32_t PRINTER_STATUS_DOOR_OPEN = 0x400000;

// Attribute bits of a printer.
constexpr uint32_t PRINTER_ATTRIBUTE_QUEUED = 0x1;
constexpr uint32_t PRINTER_ATTRIBUTE_DEFAULT = 0x4;
constexpr uint32_t PRINTER_ATTRIBUTE_SHARED = 0x8;
constexpr uint32_t PRINTER_ATTRIBUTE_NETWORK = 0x10;
constexpr uint32_t PRINTER_ATTRIBUTE_LOCAL = 0x40;

constexpr int16_t DMCOLOR_MONOCHROME = 1;
constexpr int16_t DMCOLOR_COLOR = 2;

// Paper codes of the common sizes; others are numbered from DMPAPER_USER.
constexpr int16_t DMPAPER_LETTER = 1;
constexpr int16_t DMPAPER_A4 = 9;
constexpr int16_t DMPAPER_USER = 256;

// The printer's default settings (its device mode).
struct PrinterDefaults {
  int16_t color = DMCOLOR_MONOCHROME;  // DMCOLOR_*
  int16_t paperSize = 0;               // a paper code, 0 when the printer names none
};

struct PrinterRecord {
  std::string name;      // UTF-8, as the spooler gives it
  std::string driver;    // the make and model
  std::string port;      // the device address
  std::optional<std::string> server;    // only for printers of another server
  std::optional<std::string> location;  // only when the spooler has one (it may be empty)
  uint32_t status = 0;      // PRINTER_STATUS_* bits
  uint32_t attributes = 0;  // PRINTER_ATTRIBUTE_* bits
  std::optional<PrinterDefaults> defaults;  // nothing: the printer has no device mode
};

// One paper size: its code, its size in tenths of a millimetre and its display name in a slot of
// 64 UTF-16 units (NUL-terminated unless the name fills the slot).
struct PaperRecord {
  int16_t code = 0;
  int32_t width = 0;
  int32_t height = 0;
  char16_t name[64] = {};
};

class PrintSpooler {
 public:
  virtual ~PrintSpooler() = default;
  // The printers in the spooler's order; nothing when the spooler cannot be asked.
  virtual std::optional<std::vector<PrinterRecord>> printers() = 0;
  // The user's default printer's name; empty when there is none.
  virtual std::string defaultPrinter() = 0;
  // Whether the printer prints in colour: 1 yes, 0 no, -1 unknown printer.
  virtual int colorDevice(const std::string& printer) = 0;
  // The printer's paper sizes in the driver's order; nothing for an unknown printer or a spooler
  // error (an empty list: the driver reports none).
  virtual std::optional<std::vector<PaperRecord>> papers(const std::string& printer) = 0;
};

// The spooler in use: CUPS unless a test put another in its place (null puts CUPS back).
std::shared_ptr<PrintSpooler> currentSpooler();
void setSpooler(std::shared_ptr<PrintSpooler> spooler);

// --- what the CUPS side maps (exposed for its tests) ---
// The paper code of a PWG media name ("iso_a4_210x297mm" gives 9, "na_letter_8.5x11in" 1); 0 for
// a size without its own code.
int16_t paperCodeForMedia(const std::string& pwgName);
// The status word of a CUPS printer state (3 idle, 4 processing, 5 stopped), its state reasons
// (the keywords, suffixes "-report", "-warning", "-error" allowed) and whether it accepts jobs.
uint32_t statusWordForCupsState(int state, const std::vector<std::string>& reasons,
                                bool acceptingJobs);
// A display name in a 64-unit slot: UTF-8 text (invalid sequences replaced) cut to at most 64
// units, never between the two halves of a surrogate pair.
void fillNameSlot(const std::string& utf8, char16_t (&slot)[64]);

}  // namespace desk
