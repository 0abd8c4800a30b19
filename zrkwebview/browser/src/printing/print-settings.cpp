#include "zrkwebview/browser/src/printing/print-settings.h"

#include <cmath>
#include <limits>

namespace zrk {

namespace {

std::optional<int> readInt(const nlohmann::json& o, const char* key) {
  if (!o.contains(key) || !o[key].is_number()) return std::nullopt;
  const double d = o[key].get<double>();
  if (std::isnan(d)) return 0;
  const double t = std::trunc(d);
  if (t <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  if (t >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(t);
}

template <typename T>
void readInto(const nlohmann::json& o, const char* key, T& out) {
  if constexpr (std::is_same_v<T, bool>) {
    if (o.contains(key) && o[key].is_boolean()) out = o[key].get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (o.contains(key) && o[key].is_string()) out = o[key].get<std::string>();
  } else if constexpr (std::is_same_v<T, double>) {
    if (o.contains(key) && o[key].is_number()) out = o[key].get<double>();
  } else {
    if (std::optional<int> v = readInt(o, key)) out = *v;
  }
}

}  // namespace

PrintSettings readPrintSettings(const nlohmann::json& o) {
  PrintSettings s;
  if (!o.is_object()) return s;
  if (o.contains("handler") && o["handler"].is_number()) {
    const double h = o["handler"].get<double>();
    if (h >= 0 && h <= 4294967295.0) s.handler = static_cast<uint32_t>(h);
  }
  readInto(o, "printer", s.printer);
  readInto(o, "drawHeaderAndFooter", s.drawHeaderAndFooter);
  if (s.drawHeaderAndFooter) {
    readInto(o, "header", s.header);
    readInto(o, "footer", s.footer);
  }
  readInto(o, "drawBackground", s.drawBackground);
  readInto(o, "marginLeft", s.marginLeft);
  readInto(o, "marginTop", s.marginTop);
  readInto(o, "marginRight", s.marginRight);
  readInto(o, "marginBottom", s.marginBottom);
  readInto(o, "paperWidth", s.paperWidth);
  readInto(o, "paperHeight", s.paperHeight);
  readInto(o, "orientation", s.orientation);
  readInto(o, "copies", s.copies);
  readInto(o, "colorMode", s.colorMode);
  readInto(o, "scaleFactor", s.scaleFactor);
  readInto(o, "pdfFile", s.pdfFile);
  return s;
}

double millimetresToInches(int millimetres) { return millimetres / 25.4; }

nlohmann::json printSucceeded() { return nlohmann::json{{"result", true}}; }

nlohmann::json printFailed(int code, const std::string& message) {
  return nlohmann::json{{"result", false}, {"error", {{"code", code}, {"message", message}}}};
}

std::optional<nlohmann::json> checkPrintSettings(const PrintSettings& s) {
  if (s.paperWidth == 0 || s.paperHeight == 0) return printFailed(2, "Paper size missed.");
  const std::pair<bool, const char*> checks[] = {
      {s.marginLeft >= 0, "MarginLeft"},
      {s.marginTop >= 0, "MarginTop"},
      {s.marginRight >= 0, "MarginRight"},
      {s.marginBottom >= 0, "MarginBottom"},
      {s.orientation == 0 || s.orientation == 1, "Orientation"},
      {s.paperWidth > 0, "PageWidth"},
      {s.paperHeight > 0, "PageHeight"},
      {s.scaleFactor >= 0.1 && s.scaleFactor <= 2.0, "ScaleFactor"},
      {s.copies >= 1, "Copies"},
      {s.colorMode >= 0 && s.colorMode <= 2, "ColorMode"},
  };
  for (const auto& [ok, property] : checks) {
    if (!ok) return printFailed(1, std::string("Failed to put_") + property);
  }
  return std::nullopt;
}

desk::web::PdfSettings pdfSettingsOf(const PrintSettings& s) {
  desk::web::PdfSettings p;
  p.paperWidth = millimetresToInches(s.paperWidth);
  p.paperHeight = millimetresToInches(s.paperHeight);
  p.marginLeft = millimetresToInches(s.marginLeft);
  p.marginTop = millimetresToInches(s.marginTop);
  p.marginRight = millimetresToInches(s.marginRight);
  p.marginBottom = millimetresToInches(s.marginBottom);
  p.scale = s.scaleFactor;
  p.landscape = s.orientation == 1;
  p.displayHeaderFooter = s.drawHeaderAndFooter;
  if (s.drawHeaderAndFooter) {
    p.headerTitle = s.header;
    p.footerUri = s.footer;
  }
  return p;
}

nlohmann::json pdfOutcome(desk::web::Result result, bool toPrinter) {
  using desk::web::Result;
  switch (result) {
    case Result::ok: return printSucceeded();
    case Result::invalidArgument: return printFailed(2, "Invalid arguments.");
    case Result::closed: return printFailed(4, "Aborted.");
    default: return printFailed(5, toPrinter ? "Failed to print" : "Failed to print to pdf.");
  }
}

PrintStart startPrintJob(const PrintSettings& s, const std::string& pdfPath,
                         desk::PrintJobSpooler& spooler) {
  PrintStart start;
  start.printer = s.printer.empty() ? spooler.defaultPrinter() : s.printer;
  const std::optional<desk::PrinterState> printer =
      start.printer.empty() ? std::nullopt : spooler.printer(start.printer);
  if (!printer || printer->state == desk::PrinterState::Kind::Stopped || !printer->accepting) {
    start.outcome = printFailed(3, "Printer is unavailable.");
    return start;
  }
  desk::PrintJob job;
  job.printer = start.printer;
  job.pdfPath = pdfPath;
  job.title = "document";
  job.copies = s.copies < 1 ? 1 : s.copies;
  job.colorMode = s.colorMode;
  job.paperWidthMm = s.paperWidth;
  job.paperHeightMm = s.paperHeight;
  job.landscape = s.orientation == 1;
  std::string error;
  start.jobId = spooler.submit(job, &error);
  if (start.jobId <= 0) start.outcome = printFailed(5, "Failed to print");
  return start;
}

std::optional<nlohmann::json> jobOutcome(desk::JobState state) {
  switch (state) {
    case desk::JobState::Pending:
    case desk::JobState::Held:
    case desk::JobState::Processing: return std::nullopt;
    case desk::JobState::Completed: return printSucceeded();
    case desk::JobState::Cancelled: return printFailed(4, "Aborted.");
    case desk::JobState::Stopped: return printFailed(3, "Printer is unavailable.");
    case desk::JobState::Aborted:
    case desk::JobState::Unknown:
    default: return printFailed(5, "Failed to print");
  }
}

}  // namespace zrk
