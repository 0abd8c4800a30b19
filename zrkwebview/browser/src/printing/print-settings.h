// A page's print request: its options, the outcome object it gets back, and the printer side of a
// print (a finished PDF sent to the printer named in the options through the layer's spooler).
// The printer goes with the job: the user's default printer is never changed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "desk/print_spooler.h"
#include "desk/web/engine.h"

namespace zrk {

struct PrintSettings {
  std::optional<uint32_t> handler;  // the page callback for the outcome; none: no outcome is sent
  std::string printer;
  bool drawHeaderAndFooter = false;
  std::string header;  // only with drawHeaderAndFooter
  std::string footer;  // only with drawHeaderAndFooter
  bool drawBackground = false;
  int marginLeft = 0, marginTop = 0, marginRight = 0, marginBottom = 0;  // millimetres
  int paperWidth = 0, paperHeight = 0;                                   // millimetres
  int orientation = 0;  // 0 portrait, 1 landscape
  int copies = 1;
  int colorMode = 0;  // 0 default, 1 colour, 2 grey scale
  double scaleFactor = 1.0;
  std::string pdfFile;  // not empty: print to this file instead of a printer
};

// Reads the options; a key that is missing or of another type keeps its default; numbers read
// as integers are truncated toward zero (and clamped to the integer's range).
PrintSettings readPrintSettings(const nlohmann::json& options);
double millimetresToInches(int millimetres);

// {"result": true}, or {"result": false, "error": {"code", "message"}}.
nlohmann::json printSucceeded();
nlohmann::json printFailed(int code, const std::string& message);
// The outcome that stops a print before it starts: code 2 "Paper size missed." for a missing
// paper size, then code 1 "Failed to put_<property>" for the first value no printer takes (a
// negative margin or paper length, an orientation other than 0 or 1, a scale outside 0.1..2, no
// copies, an unknown colour mode), in the order the properties are set.
std::optional<nlohmann::json> checkPrintSettings(const PrintSettings& settings);

// The page as the engine prints it (lengths in inches).
desk::web::PdfSettings pdfSettingsOf(const PrintSettings& settings);

// The outcome of a finished print to PDF: success, code 2 "Invalid arguments." for refused
// arguments, code 4 "Aborted." when the page went first, else code 5 ("Failed to print to pdf."
// for a PDF the caller asked for, "Failed to print" when it was on its way to a printer).
nlohmann::json pdfOutcome(desk::web::Result result, bool toPrinter);

struct PrintStart {
  int jobId = 0;                         // > 0 once the spooler took the job
  std::string printer;                   // the printer the job went to
  std::optional<nlohmann::json> outcome;  // set when the print is over before it began
};
// Sends the PDF to the settings' printer (the spooler's default for an empty name): an unknown,
// stopped or refusing printer gives code 3 "Printer is unavailable.", a refused job code 5
// "Failed to print".
PrintStart startPrintJob(const PrintSettings& settings, const std::string& pdfPath,
                         desk::PrintJobSpooler& spooler);
// The outcome of a job in this state; nullopt while it is still waiting or printing. Completed:
// success; cancelled: code 4 "Aborted."; stopped with its printer: code 3; aborted or gone:
// code 5 "Failed to print".
std::optional<nlohmann::json> jobOutcome(desk::JobState state);

}  // namespace zrk
