// Text recognition of one rendered page (A4 at 300 dpi, about 40 lines) through the "ocr" plugin's
// "recognize_text" with "path", beside the tesseract command on the same file, in one run. Both use
// the English model and the same OMP_THREAD_LIMIT. The first, cold call (model loading) is
// measured apart.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "src/codec-library.h"
#include "src/plugins/ocr/ocr-engine.h"
#include "src/plugins/ocr/ocr-plugin.h"
#include "zrkwebview/browser/src/http/http-message.h"

namespace fs = std::filesystem;

namespace {

const std::string& page() {
  static const std::string path = [] {
    const std::string file = fs::temp_directory_path().string() + "/pelmora-ocr-page.png";
    std::string draw;
    for (int line = 0; line < 40; ++line) {
      draw += " -annotate +150+" + std::to_string(250 + line * 78) +
              " 'Line " + std::to_string(line + 1) +
              ": the quick brown fox jumps over the lazy dog near the river bank'";
    }
    const std::string command =
        "/usr/bin/convert -size 2480x3508 xc:white -font "
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf -pointsize 38 -fill black" +
        draw + " " + file;
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot render the page\n");
    return file;
  }();
  return path;
}

std::string programFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

size_t recognizeOnce(zrk::plugin::OcrPlugin& plugin) {
  auto result = plugin.invoke("recognize_text", nullptr, nullptr, nullptr,
                              nlohmann::json{{"path", page()}, {"languages", {"en"}}});
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  return response ? size_t(response->contentLength()) : 0;
}

void BM_ColdPluginCall(benchmark::State& state) {
  for (auto _ : state) {
    zrk::ocr::setRecognizer(zrk::ocr::makeTesseractRecognizer());  // nothing loaded yet
    zrk::CodecLibrary codec(programFolder());
    zrk::plugin::OcrPlugin plugin(&codec);
    benchmark::DoNotOptimize(recognizeOnce(plugin));
  }
}

void BM_PluginRecognizeText(benchmark::State& state) {
  zrk::CodecLibrary codec(programFolder());
  zrk::plugin::OcrPlugin plugin(&codec);
  recognizeOnce(plugin);  // warm: the model stays loaded between calls
  for (auto _ : state) benchmark::DoNotOptimize(recognizeOnce(plugin));
}

void BM_TesseractCommand(benchmark::State& state) {
  const std::string command = "tesseract " + page() + " - -l eng >/dev/null 2>&1";
  for (auto _ : state) benchmark::DoNotOptimize(std::system(command.c_str()));
}

}  // namespace

BENCHMARK(BM_ColdPluginCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PluginRecognizeText)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TesseractCommand)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  setenv("OMP_THREAD_LIMIT", getenv("OMP_THREAD_LIMIT") ? getenv("OMP_THREAD_LIMIT") : "1", 1);
  page();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
