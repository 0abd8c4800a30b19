// Driver for the codec benchmarks: makes the image set and runs one job of ours (through the
// library's exports, in this process) or of libjpeg-turbo directly, printing the wall time and
// the peak memory. run.sh puts the peers beside it.
//   rastcore_bench gen <dir> <jpegs> <pngs>     fifty 6000x4000 JPEGs, some PNGs and a TIFF
//   rastcore_bench thumb <outdir> files...      300 px JPEG thumbnails, written to outdir
//   rastcore_bench rgba files...                full decode to RGBA
//   rastcore_bench turbo files...               the same with libjpeg-turbo directly
//   rastcore_bench convert <ext> <outdir> files...  conversion of each file to <ext>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rastcore/rastcore_api.h"

namespace {

std::vector<unsigned char> readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string b = slash == std::string::npos ? path : path.substr(slash + 1);
  return b.substr(0, b.find_last_of('.'));
}

// A photo-like picture: smooth light, a few shapes, fine noise.
std::vector<unsigned char> picture(int w, int h, unsigned seed) {
  std::vector<unsigned char> px(size_t(w) * h * 3);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 6.0f);
  const float cx = float(rng() % unsigned(w)), cy = float(rng() % unsigned(h));
  const float phase = float(rng() % 628) / 100.0f;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) / float(w);
      float base[3] = {200.0f - 150.0f * d, 120.0f + 60.0f * std::sin(x / 300.0f + phase),
                       90.0f + 80.0f * float(y) / float(h)};
      bool stripe = ((x / 97 + y / 131) % 7) == 0;
      for (int c = 0; c < 3; ++c) {
        float v = base[c] + (stripe ? 40.0f : 0.0f) + noise(rng);
        px[(size_t(y) * w + x) * 3 + size_t(c)] = uint8_t(std::clamp(v, 0.0f, 255.0f));
      }
    }
  return px;
}

long peakKb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

int fail(const std::string& what) {
  fprintf(stderr, "%s: %s\n", what.c_str(), c_get_lasterror());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: see the top of rastcore_bench.cpp\n");
    return 2;
  }
  const std::string mode = argv[1];
  const auto start = std::chrono::steady_clock::now();
  size_t bytes = 0;
  int count = 0;
  if (mode == "gen") {
    const std::string dir = argv[2];
    const int jpegs = argc > 3 ? atoi(argv[3]) : 50, pngs = argc > 4 ? atoi(argv[4]) : 5;
    const int w = 6000, h = 4000;
    const std::string spec = "{\"width\":6000,\"height\":4000,\"nchannels\":3}";
    for (int i = 0; i < std::max(jpegs, pngs); ++i) {
      std::vector<unsigned char> px = picture(w, h, unsigned(i + 1));
      char name[64];
      if (i < jpegs) {
        snprintf(name, sizeof name, "/img%02d.jpg", i);
        if (!c_output_image((dir + name).c_str(), spec.c_str(), px.data(), int32_t(px.size()),
                            "{\"quality\":90}"))
          return fail(name);
      }
      if (i < pngs) {
        snprintf(name, sizeof name, "/img%02d.png", i);
        if (!c_output_image((dir + name).c_str(), spec.c_str(), px.data(), int32_t(px.size()),
                            nullptr))
          return fail(name);
      }
      if (i == 0 && !c_output_image((dir + "/img00.tif").c_str(), spec.c_str(), px.data(),
                                    int32_t(px.size()), nullptr))
        return fail("tif");
      ++count;
    }
  } else if (mode == "thumb") {
    const std::string out = argv[2];
    for (int i = 3; i < argc; ++i) {
      int32_t len = 0, w = 300, h = 300;
      unsigned char* t = c_read_thumbnail(argv[i], &len, &w, &h, 0x1, 0, 0);
      if (!t) return fail(argv[i]);
      std::ofstream(out + "/" + baseName(argv[i]) + "_ours.jpg", std::ios::binary)
          .write(reinterpret_cast<const char*>(t), len);
      c_free_resource(t);
      bytes += size_t(len);
      ++count;
    }
  } else if (mode == "rgba") {
    for (int i = 2; i < argc; ++i) {
      int32_t len = 0;
      unsigned char* p = c_read_image_rgba(argv[i], &len, 0, 0, 0, 0, false);
      if (!p) return fail(argv[i]);
      bytes += size_t(len);
      c_free_resource(p);
      ++count;
    }
  } else if (mode == "turbo") {
    tjhandle tj = tjInitDecompress();
    for (int i = 2; i < argc; ++i) {
      std::vector<unsigned char> file = readAll(argv[i]);
      int w = 0, h = 0, ss = 0, cs = 0;
      if (tjDecompressHeader3(tj, file.data(), (unsigned long)file.size(), &w, &h, &ss, &cs))
        return 1;
      std::vector<unsigned char> px(size_t(w) * h * 4);
      if (tjDecompress2(tj, file.data(), (unsigned long)file.size(), px.data(), w, w * 4, h,
                        TJPF_RGBA, 0))
        return 1;
      bytes += px.size();
      ++count;
    }
    tjDestroy(tj);
  } else if (mode == "convert" && argc > 4) {
    const std::string ext = argv[2], out = argv[3];
    for (int i = 4; i < argc; ++i) {
      const std::string dst = out + "/" + baseName(argv[i]) + "_ours." + ext;
      if (!c_copy_image_to(argv[i], dst.c_str(), nullptr, 0, nullptr, nullptr))
        return fail(argv[i]);
      ++count;
    }
  } else {
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%s: %d files in %.2f s (%.1f ms each), peak %ld MB\n", mode.c_str(), count, secs,
         1000.0 * secs / std::max(count, 1), peakKb() / 1024);
  (void)bytes;
  return 0;
}
