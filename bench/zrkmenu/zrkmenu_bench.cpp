// Time from trackPopup to the first pushed frame of menus of 50 and 500 rows at 96 DPI, split
// into measuring, the shadow and painting, beside a floor: bare Pango laying out the same labels,
// Cairo drawing them into a frame of the same size and the same blur over it. A second showing of
// an unchanged menu reuses the measuring and the shadow.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "desk/gfx/graphics.h"
#include "desk/gfx/text.h"
#include "desk/test.h"
#include "desk/window.h"
#include "zrkmenu/zrkmenu.h"

namespace {

using zrkmenu::ZrkMenu;

std::string label(int i) { return "Menu entry number " + std::to_string(i) + " with a label"; }

std::unique_ptr<ZrkMenu> makeMenu(int rows) {
  auto m = std::make_unique<ZrkMenu>();
  for (int i = 0; i < rows; ++i) {
    zrkmenu::ZrkMenuItem item;
    item.id = "id" + std::to_string(i);
    item.text = label(i);
    item.separator = i % 10 == 9;
    m->appendItem(item);
  }
  return m;
}

void setUp() {
  static bool done = [] {
    setenv("FONTCONFIG_FILE", PEL_BENCH_FONTS, 1);
    desk::test::reset();
    zrkmenu::startup();
    return true;
  }();
  (void)done;
}

// trackPopup (non-modal, no animation) up to the first frame the window shows. Menus of one
// look share their shadow; the cold variant drops the kept shadows first, as for the first menu
// of its size.
void trackToFirstFrame(benchmark::State& state, bool coldShadow) {
  setUp();
  const int rows = static_cast<int>(state.range(0));
  for (auto _ : state) {
    if (coldShadow) zrkmenu::clearShadowCache();
    auto m = makeMenu(rows);
    std::string out;
    m->trackPopup(out, 200, 10, nullptr, 0, 0);
    benchmark::DoNotOptimize(desk::test::snapshot(m->hwnd)->layeredFrame);
    m->hide();
    zrkmenu::removeHooks();
  }
}
void BM_TrackToFirstFrame(benchmark::State& state) { trackToFirstFrame(state, false); }
void BM_TrackToFirstFrameColdShadow(benchmark::State& state) { trackToFirstFrame(state, true); }
BENCHMARK(BM_TrackToFirstFrame)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrackToFirstFrameColdShadow)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

// The same menu shown again unchanged.
void BM_SecondShowing(benchmark::State& state) {
  setUp();
  auto m = makeMenu(static_cast<int>(state.range(0)));
  std::string out;
  m->trackPopup(out, 200, 10, nullptr, 0, 0);
  m->hide();
  for (auto _ : state) {
    m->trackPopup(out, 200, 10, nullptr, 0, 0);
    m->hide();
  }
  zrkmenu::removeHooks();
}
BENCHMARK(BM_SecondShowing)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_Measure(benchmark::State& state) {
  setUp();
  auto m = makeMenu(static_cast<int>(state.range(0)));
  for (auto _ : state) m->measure();
}
BENCHMARK(BM_Measure)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_Shadow(benchmark::State& state) {
  setUp();
  auto m = makeMenu(static_cast<int>(state.range(0)));
  m->measure();
  m->height = std::min(m->height, 1040 - 24);  // as placement cuts it
  for (auto _ : state) {
    zrkmenu::clearShadowCache();  // the build itself, not a shared shadow
    m->buildShadow();
  }
}
BENCHMARK(BM_Shadow)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_Paint(benchmark::State& state) {
  setUp();
  auto m = makeMenu(static_cast<int>(state.range(0)));
  m->measure();
  m->height = std::min(m->height, 1040 - 24);
  m->scrolling = state.range(0) > 50;
  m->buildShadow();
  const int s = zrkmenu::shadowSize();
  for (auto _ : state) {
    auto frame = desk::gfx::Bitmap::make(m->width + 2 * s, m->height + 2 * s);
    m->render(*frame, m->height, false);
    benchmark::DoNotOptimize(frame->premultipliedPixels());
  }
}
BENCHMARK(BM_Paint)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

// The floor: Pango measures every label, Cairo draws the visible ones into a frame of the menu's
// size, and the frame is blurred once with the same radius.
void BM_Floor(benchmark::State& state) {
  setUp();
  const int rows = static_cast<int>(state.range(0));
  auto measurer = desk::gfx::makePangoMeasurer();
  desk::gfx::Font font;
  font.family = "Segoe UI";
  font.pixelSize = 10;
  std::vector<std::u16string> labels;
  for (int i = 0; i < rows; ++i) {
    const std::string l = label(i);
    labels.emplace_back(l.begin(), l.end());
  }
  const int s = 14;
  for (auto _ : state) {
    double width = 0;
    for (auto& l : labels) width = std::max(width, measurer->measure(font, l).width);
    const int w = static_cast<int>(width) + 40 + 2 * s;
    const int h = std::min(rows * 38, 1016) + 2 * s;
    auto frame = desk::gfx::Bitmap::make(w, h);
    {
      desk::gfx::Graphics g(*frame);
      g.fillRectangle({double(s), double(s), double(w - 2 * s), double(h - 2 * s)}, 0xffffffff);
      for (int i = 0; i < rows && i * 40 < h; ++i)
        g.drawString(labels[i], font, {double(s + 20), double(s + i * 40 + 12)}, 0xff000000);
    }
    std::vector<uint32_t> pre = frame->premultipliedPixels();
    zrkmenu::stackBlur(reinterpret_cast<uint8_t*>(pre.data()), w, h, w * 4, 3 * s);
    benchmark::DoNotOptimize(pre.data());
  }
}
BENCHMARK(BM_Floor)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
