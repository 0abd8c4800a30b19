// The print spooler: printers by name with their state, and print jobs that send a finished PDF
// to a printer with copies, colour mode and a custom paper size. The program talks to CUPS (the
// server named by CUPS_SERVER, else the system's); tests install a fake (desk::test).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desk {

struct PrinterState {
  enum class Kind { Idle, Processing, Stopped };
  std::string name;
  Kind state = Kind::Idle;
  bool accepting = true;  // accepting new jobs
};

struct PrintJob {
  std::string printer;  // never empty: the job names its printer (the default is not changed)
  std::string pdfPath;
  std::string title;
  int copies = 1;
  int colorMode = 0;  // 0 the printer's default, 1 colour, 2 grey scale
  double paperWidthMm = 0;
  double paperHeightMm = 0;
  bool landscape = false;
};

enum class JobState { Pending, Held, Processing, Stopped, Cancelled, Aborted, Completed, Unknown };

class PrintJobSpooler {
 public:
  virtual ~PrintJobSpooler() = default;
  // nullopt for a printer the spooler does not know.
  virtual std::optional<PrinterState> printer(const std::string& name) = 0;
  virtual std::string defaultPrinter() = 0;
  // The job's id (> 0), or 0 with `error` set when the spooler refused it.
  virtual int submit(const PrintJob& job, std::string* error) = 0;
  virtual JobState jobState(const std::string& printer, int jobId) = 0;
};

// The spooler in use (CUPS unless a test installed another).
std::shared_ptr<PrintJobSpooler> printJobSpooler();
std::shared_ptr<PrintJobSpooler> makeCupsJobSpooler();

// The paper size as CUPS names a custom size, e.g. "Custom.210x297mm" (millimetres truncated).
std::string customMediaName(double widthMm, double heightMm);

namespace test {

// A spooler kept in memory: printers as set, jobs recorded and given the state a test sets.
class FakeJobSpooler final : public PrintJobSpooler {
 public:
  FakeJobSpooler();
  void setPrinter(const PrinterState& printer);
  void removePrinter(const std::string& name);
  void setDefaultPrinter(const std::string& name);
  // The state every new job is given (Completed by default); a refusing spooler refuses all.
  void setNewJobState(JobState state);
  void refuseJobs(const std::string& error);
  void acceptJobs();
  // Moves a job on (printing finishes, the user cancels it ...).
  void setJobState(int jobId, JobState state);
  std::vector<PrintJob> jobs() const;

  std::optional<PrinterState> printer(const std::string& name) override;
  std::string defaultPrinter() override;
  int submit(const PrintJob& job, std::string* error) override;
  JobState jobState(const std::string& printer, int jobId) override;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared by copies
};

// Null puts CUPS back.
void setPrintJobSpooler(std::shared_ptr<PrintJobSpooler> spooler);

}  // namespace test

}  // namespace desk
