#include "desk/print_spooler.h"

#include <cmath>
#include <map>
#include <mutex>

#include <cups/cups.h>

namespace desk {

namespace {

class CupsSpooler final : public PrintJobSpooler {
 public:
  std::optional<PrinterState> printer(const std::string& name) override {
    if (name.empty()) return std::nullopt;
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(), nullptr);
    if (dest == nullptr) return std::nullopt;
    PrinterState s;
    s.name = dest->name;
    const char* state = cupsGetOption("printer-state", dest->num_options, dest->options);
    if (state && std::string(state) == "5") {
      s.state = PrinterState::Kind::Stopped;
    } else if (state && std::string(state) == "4") {
      s.state = PrinterState::Kind::Processing;
    }
    const char* accepting =
        cupsGetOption("printer-is-accepting-jobs", dest->num_options, dest->options);
    s.accepting = accepting == nullptr || std::string(accepting) == "true";
    cupsFreeDests(1, dest);
    return s;
  }

  std::string defaultPrinter() override {
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
    if (dest == nullptr) return {};
    std::string name = dest->name;
    cupsFreeDests(1, dest);
    return name;
  }

  int submit(const PrintJob& job, std::string* error) override {
    cups_option_t* options = nullptr;
    int count = 0;
    const std::string copies = std::to_string(job.copies < 1 ? 1 : job.copies);
    count = cupsAddOption("copies", copies.c_str(), count, &options);
    if (job.colorMode == 1) count = cupsAddOption("print-color-mode", "color", count, &options);
    if (job.colorMode == 2)
      count = cupsAddOption("print-color-mode", "monochrome", count, &options);
    if (job.paperWidthMm > 0 && job.paperHeightMm > 0) {
      const std::string media = customMediaName(job.paperWidthMm, job.paperHeightMm);
      count = cupsAddOption("media", media.c_str(), count, &options);
    }
    if (job.landscape) count = cupsAddOption("orientation-requested", "4", count, &options);
    const int id = cupsPrintFile2(CUPS_HTTP_DEFAULT, job.printer.c_str(), job.pdfPath.c_str(),
                                  job.title.empty() ? "document" : job.title.c_str(), count,
                                  options);
    cupsFreeOptions(count, options);
    if (id <= 0 && error) *error = cupsLastErrorString() ? cupsLastErrorString() : "refused";
    return id > 0 ? id : 0;
  }

  JobState jobState(const std::string& printer, int jobId) override {
    cups_job_t* jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, printer.c_str(), 0, CUPS_WHICHJOBS_ALL);
    JobState result = JobState::Unknown;
    for (int i = 0; i < n; ++i) {
      if (jobs[i].id != jobId) continue;
      switch (jobs[i].state) {
        case IPP_JSTATE_PENDING: result = JobState::Pending; break;
        case IPP_JSTATE_HELD: result = JobState::Held; break;
        case IPP_JSTATE_PROCESSING: result = JobState::Processing; break;
        case IPP_JSTATE_STOPPED: result = JobState::Stopped; break;
        case IPP_JSTATE_CANCELED: result = JobState::Cancelled; break;
        case IPP_JSTATE_ABORTED: result = JobState::Aborted; break;
        case IPP_JSTATE_COMPLETED: result = JobState::Completed; break;
      }
    }
    if (n > 0) cupsFreeJobs(n, jobs);
    return result;
  }
};

std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<PrintJobSpooler>& slot() {
  static std::shared_ptr<PrintJobSpooler> s;
  return s;
}

}  // namespace

std::string customMediaName(double widthMm, double heightMm) {
  auto mm = [](double v) { return std::to_string(static_cast<long long>(std::trunc(v))); };
  return "Custom." + mm(widthMm) + "x" + mm(heightMm) + "mm";
}

std::shared_ptr<PrintJobSpooler> makeCupsJobSpooler() { return std::make_shared<CupsSpooler>(); }

std::shared_ptr<PrintJobSpooler> printJobSpooler() {
  std::lock_guard<std::mutex> lock(slotMutex());
  if (!slot()) slot() = makeCupsJobSpooler();
  return slot();
}

namespace test {

struct FakeJobSpooler::State {
  std::mutex mutex;
  std::map<std::string, PrinterState> printers;
  std::string defaultName;
  JobState newState = JobState::Completed;
  std::optional<std::string> refusal;
  std::vector<PrintJob> jobs;
  std::map<int, JobState> states;
};

FakeJobSpooler::FakeJobSpooler() : state_(std::make_shared<State>()) {}

void FakeJobSpooler::setPrinter(const PrinterState& p) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->printers[p.name] = p;
}
void FakeJobSpooler::removePrinter(const std::string& name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->printers.erase(name);
}
void FakeJobSpooler::setDefaultPrinter(const std::string& name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->defaultName = name;
}
void FakeJobSpooler::setNewJobState(JobState s) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->newState = s;
}
void FakeJobSpooler::refuseJobs(const std::string& error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->refusal = error;
}
void FakeJobSpooler::acceptJobs() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->refusal.reset();
}
void FakeJobSpooler::setJobState(int jobId, JobState s) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->states[jobId] = s;
}
std::vector<PrintJob> FakeJobSpooler::jobs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->jobs;
}
std::optional<PrinterState> FakeJobSpooler::printer(const std::string& name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->printers.find(name);
  if (it == state_->printers.end()) return std::nullopt;
  return it->second;
}
std::string FakeJobSpooler::defaultPrinter() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->defaultName;
}
int FakeJobSpooler::submit(const PrintJob& job, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->printers.find(job.printer);
  if (state_->refusal || it == state_->printers.end() || !it->second.accepting) {
    if (error) *error = state_->refusal.value_or("printer not accepting jobs");
    return 0;
  }
  state_->jobs.push_back(job);
  const int id = static_cast<int>(state_->jobs.size());
  state_->states[id] = state_->newState;
  return id;
}
JobState FakeJobSpooler::jobState(const std::string&, int jobId) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->states.find(jobId);
  return it == state_->states.end() ? JobState::Unknown : it->second;
}

void setPrintJobSpooler(std::shared_ptr<PrintJobSpooler> spooler) {
  std::lock_guard<std::mutex> lock(slotMutex());
  slot() = std::move(spooler);
}

}  // namespace test

}  // namespace desk
