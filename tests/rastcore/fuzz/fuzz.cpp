// A mutation fuzzer for the codec library's readers.
//
// Valid seed files are made by the library itself, one or more per format it writes; each input
// is a seed with a few mutations (bits flipped, cut short, a size field set to its largest value,
// bytes inserted, a run of bytes overwritten or repeated). Every input goes through the reading
// exports and a conversion in a child process of its own, so a crash, an abort from glibc's heap
// checks or a hang is caught, reported and the input saved. Anything the libraries print to
// stderr is a finding too: their warnings and errors belong in the library's last error.
//
//   rastcore_fuzz [--inputs N] [--seconds S] [--seed X] [--jobs J] [--formats tif,iff,...]
//                 [--out DIR] [--keep-seeds DIR]
//   rastcore_fuzz --replay FILE...
//
// The default is the short run: a fixed seed and --inputs per format (60). --seconds runs the
// formats round-robin until the time is up (the long run). The exit status is 0 only if no input
// crashed, hung or printed anything.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "desk/gfx/image_file.h"
#include "rastcore/rastcore_api.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// The pixel limit inside the children: large enough for every check the readers make, small
// enough that a header claiming a huge image cannot make one input take seconds.
constexpr int32_t kPixelLimit = 16 * 1024 * 1024;
constexpr rlim_t kMemoryLimit = rlim_t(3) << 30;
// A hang is an input that burns this much processor time (a busy machine does not make one), or
// that does not end within the wall-clock limit (one blocked for good).
constexpr rlim_t kCpuSeconds = 60;
constexpr int kTimeoutSeconds = 600;

struct Options {
  int inputs = 60;
  int seconds = 0;
  uint64_t seed = 20;
  int jobs = 2;
  std::vector<std::string> formats;
  std::string out = "fuzz-findings";
  std::string keepSeeds;
  std::vector<std::string> replay;
};

struct Seed {
  std::string name;  // e.g. "tif-zip"
  std::string ext;
  Bytes bytes;
};

struct Input {
  std::string label;  // seed name and mutation number
  std::string ext;
  Bytes bytes;
};

Bytes readBytes(const std::string& path) {
  Bytes b;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
  }
  return b;
}

bool writeBytes(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size();
  return fclose(f) == 0 && ok;
}

std::string extOf(const std::string& path) {
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

// --- seeds -----------------------------------------------------------------------------------

struct SeedKind {
  const char* name;
  const char* ext;
  int channels;
  const char* format;      // pixel type of the spec
  const char* attributes;  // JSON object or null
  const char* config;      // JSON config or null
  int subimages;
};

const SeedKind kSeedKinds[] = {
    {"png-rgba", "png", 4, "uint8", nullptr, nullptr, 1},
    {"png-gray16", "png", 1, "uint16", nullptr, nullptr, 1},
    {"jpg", "jpg", 3, "uint8", nullptr, nullptr, 1},
    {"jpg-exif", "jpg", 3, "uint8", R"({"Orientation":6,"Make":"Pelmora"})", nullptr, 1},
    {"jpg-gray", "jpg", 1, "uint8", nullptr, nullptr, 1},
    {"tif", "tif", 4, "uint8", nullptr, nullptr, 1},
    {"tif-zip", "tif", 3, "uint8", nullptr, R"({"compression":"zip"})", 1},
    {"tif-lzw", "tif", 3, "uint16", nullptr, R"({"compression":"lzw"})", 1},
    {"tif-none", "tif", 3, "uint8", nullptr, R"({"compression":"none"})", 1},
    {"tif-packbits", "tif", 4, "uint8", nullptr, R"({"compression":"packbits"})", 1},
    {"tif-jpeg", "tif", 3, "uint8", nullptr, R"({"compression":"jpeg"})", 1},
    {"tif-float", "tif", 3, "float", nullptr, nullptr, 1},
    {"tif-multi", "tif", 4, "uint8", nullptr, nullptr, 3},
    {"bmp", "bmp", 4, "uint8", nullptr, nullptr, 1},
    {"tga", "tga", 4, "uint8", nullptr, nullptr, 1},
    {"tga-rle", "tga", 4, "uint8", nullptr, R"({"compression":"rle"})", 1},
    {"gif", "gif", 4, "uint8", nullptr, nullptr, 1},
    {"webp", "webp", 4, "uint8", nullptr, nullptr, 1},
    {"exr", "exr", 4, "half", nullptr, nullptr, 1},
    {"hdr", "hdr", 3, "float", nullptr, nullptr, 1},
    {"ppm", "ppm", 3, "uint8", nullptr, nullptr, 1},
    {"pgm", "pgm", 1, "uint8", nullptr, nullptr, 1},
    {"jp2", "jp2", 3, "uint8", nullptr, nullptr, 1},
    {"ico", "ico", 4, "uint8", nullptr, nullptr, 1},
    {"sgi", "sgi", 4, "uint8", nullptr, nullptr, 1},
    {"iff", "iff", 4, "uint8", nullptr, nullptr, 1},
    {"rla", "rla", 4, "uint8", nullptr, nullptr, 1},
    {"heic", "heic", 3, "uint8", nullptr, nullptr, 1},
    {"avif", "avif", 3, "uint8", nullptr, nullptr, 1},
    {"dpx", "dpx", 3, "uint8", nullptr, nullptr, 1},
    {"fits", "fits", 3, "uint8", nullptr, nullptr, 1},
};

Bytes gradient(int w, int h, int channels, int bytesPerValue, int variant) {
  Bytes px(size_t(w) * h * channels * bytesPerValue);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const size_t i = ((size_t(y) * w + x) * channels + c) * bytesPerValue;
        const int v = (x * 255 / (w - 1) * (c == 0) + y * 255 / (h - 1) * (c == 1) +
                       ((x * 7 + y * 13 + variant * 40) % 256) * (c == 2) +
                       (128 + (x + y) % 128) * (c == 3)) & 0xFF;
        if (bytesPerValue == 1) {
          px[i] = uint8_t(v);
        } else if (bytesPerValue == 2) {
          uint16_t u = uint16_t(v * 257);
          memcpy(&px[i], &u, 2);
        } else {
          float f = float(v) / 255.0f;
          memcpy(&px[i], &f, 4);
        }
      }
  return px;
}

// Writes each seed kind into `dir`; prints those the build cannot write. Runs in a child so the
// fuzzing process itself never starts the image libraries' threads.
void writeSeeds(const std::string& dir, const std::vector<std::string>& formats) {
  for (const SeedKind& k : kSeedKinds) {
    if (!formats.empty()) {
      bool wanted = false;
      for (const auto& f : formats) wanted |= f == k.ext || f == k.name;
      if (!wanted) continue;
    }
    const int w = 64, h = 48;
    const int bpv = strcmp(k.format, "uint8") == 0 ? 1 : strcmp(k.format, "float") == 0 ? 4 : 2;
    std::string spec = std::string("{\"width\":") + std::to_string(w) + ",\"height\":" +
                       std::to_string(h) + ",\"nchannels\":" + std::to_string(k.channels) +
                       ",\"format\":\"" + k.format + "\"" +
                       (k.attributes ? std::string(",\"attributes\":") + k.attributes : "") + "}";
    if (strcmp(k.format, "half") == 0) {
      // Half floats: write float pixels through a float spec instead.
      spec.replace(spec.find("\"half\""), 6, "\"float\"");
    }
    const int bytes = strcmp(k.format, "half") == 0 ? 4 : bpv;
    const std::string path = dir + "/" + k.name + "." + k.ext;
    bool ok;
    if (k.subimages > 1) {
      std::vector<std::string> specs(size_t(k.subimages), spec);
      std::vector<const char*> ptrs;
      for (auto& s : specs) ptrs.push_back(s.c_str());
      void* handle = c_open_image_forwrite(path.c_str(), k.subimages, ptrs.data(), k.subimages);
      ok = handle != nullptr;
      for (int i = 0; ok && i < k.subimages; ++i) {
        Bytes px = gradient(w, h, k.channels, bytes, i);
        ok = c_write_image_subimage(handle, i, spec.c_str(), px.data(), int32_t(px.size()));
      }
      if (handle) ok = c_close_image_forwrite(handle) && ok;
    } else {
      Bytes px = gradient(w, h, k.channels, bytes, 0);
      ok = c_output_image(path.c_str(), spec.c_str(), px.data(), int32_t(px.size()), k.config);
    }
    if (!ok) printf("  no seed %s: %s\n", k.name, c_get_lasterror());
  }
}

// --- mutations -------------------------------------------------------------------------------

struct Mutator {
  std::mt19937_64 rng;
  explicit Mutator(uint64_t seed) : rng(seed) {}

  size_t below(size_t n) { return n ? size_t(rng() % n) : 0; }
  // Offsets near the start are chosen more often: headers and their size fields live there.
  size_t offset(size_t n) {
    if (n == 0) return 0;
    return rng() % 2 ? below(std::min<size_t>(n, 128)) : below(n);
  }

  void flip(Bytes& b) {
    if (b.empty()) return;
    const int count = 1 + int(below(8));
    for (int i = 0; i < count; ++i) {
      size_t at = offset(b.size());
      if (rng() % 2) b[at] ^= uint8_t(1u << below(8));
      else b[at] = uint8_t(rng());
    }
  }
  void truncate(Bytes& b) { b.resize(below(b.size())); }
  void maxSize(Bytes& b) {
    if (b.size() < 4) return;
    static const uint32_t kValues[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFu, 0x7FFFu,
                                       0x10000u,    0xFFFFFFu,   0u,          1u,      0xFFFFFFFEu};
    const uint32_t v = kValues[below(sizeof kValues / sizeof kValues[0])];
    const size_t width = rng() % 2 ? 4 : 2;
    size_t at = offset(b.size() - width + 1);
    for (size_t i = 0; i < width; ++i) {
      const size_t shift = (rng() % 2 ? i : width - 1 - i) * 8;  // either byte order
      b[at + i] = uint8_t(v >> shift);
    }
  }
  void insert(Bytes& b) {
    const size_t at = offset(b.size() + 1);
    const size_t n = 1 + below(rng() % 4 ? 16 : 512);
    Bytes extra(n);
    for (auto& c : extra) c = rng() % 3 ? uint8_t(rng()) : 0xFF;
    b.insert(b.begin() + long(at), extra.begin(), extra.end());
  }
  void overwrite(Bytes& b) {
    if (b.empty()) return;
    const size_t at = offset(b.size());
    const size_t n = std::min(b.size() - at, 1 + below(64));
    for (size_t i = 0; i < n; ++i) b[at + i] = uint8_t(rng());
  }
  void repeat(Bytes& b) {
    if (b.size() < 2) return;
    const size_t from = below(b.size()), n = 1 + below(std::min<size_t>(b.size() - from, 256));
    Bytes chunk(b.begin() + long(from), b.begin() + long(from + n));
    const size_t at = below(b.size());
    b.insert(b.begin() + long(at), chunk.begin(), chunk.end());
  }

  Bytes mutate(const Bytes& seed) {
    Bytes b = seed;
    const int count = 1 + int(below(3));
    for (int i = 0; i < count; ++i) {
      switch (below(10)) {
        case 0: case 1: case 2: flip(b); break;
        case 3: truncate(b); break;
        case 4: case 5: maxSize(b); break;
        case 6: insert(b); break;
        case 7: overwrite(b); break;
        default: repeat(b); break;
      }
    }
    return b;
  }
};

uint64_t mix(uint64_t a, uint64_t b) {
  uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  return x ^ (x >> 27);
}

uint64_t hashText(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

// --- one input in a child --------------------------------------------------------------------

// Runs every reading export and a conversion on `path`. The results do not matter, only that each
// call returns; a failure must leave a reason.
int exercise(const std::string& path, const std::string& workDir) {
  c_set_max_imagesize(kPixelLimit);
  int bad = 0;
  auto needReason = [&](const char* what) {
    if (!*c_get_lasterror()) {
      fprintf(stderr, "%s failed without a reason\n", what);
      bad = 1;
    }
  };
  int32_t len = 0;
  const int32_t count = c_get_image_count(path.c_str());
  if (count <= 0) needReason("c_get_image_count");
  for (int sub = 0; sub < std::max(1, std::min(count, 3)); ++sub) {
    char* info = c_get_image_info(path.c_str(), &len, sub, 0);
    if (!info) needReason("c_get_image_info");
    c_free_resource(info);
    unsigned char* px = c_read_image_rgba(path.c_str(), &len, sub, 0, 0, 0, true);
    if (!px) needReason("c_read_image_rgba");
    c_free_resource(px);
  }
  unsigned char* px = c_read_image_rgba(path.c_str(), &len, 0, 0, 17, 0, false);
  if (!px) needReason("c_read_image_rgba (scaled)");
  c_free_resource(px);
  for (int option : {0, 3}) {
    int32_t w = 24, h = 24;
    unsigned char* thumb = c_read_thumbnail(path.c_str(), &len, &w, &h, option, 0, 0);
    if (!thumb) needReason("c_read_thumbnail");
    c_free_resource(thumb);
  }
  // The platform layer's decoder of the image files pages name (gdk-pixbuf underneath) reads the
  // same inputs, at the image's own size and at a chosen one.
  for (int size : {0, 16}) {
    std::string why;
    if (!desk::gfx::decodeImageFile(path, size, size, &why) && why.empty()) {
      fprintf(stderr, "decodeImageFile failed without a reason\n");
      bad = 1;
    }
  }
  const std::string out = workDir + "/out-" + std::to_string(getpid()) + ".png";
  if (!c_copy_image_to(path.c_str(), out.c_str(), nullptr, 0, nullptr, nullptr))
    needReason("c_copy_image_to");
  unlink(out.c_str());
  const std::string tif = workDir + "/out-" + std::to_string(getpid()) + ".tif";
  if (!c_copy_image_to(path.c_str(), tif.c_str(), "{\"width\":20}", 12, nullptr, nullptr))
    needReason("c_copy_image_to (resized)");
  unlink(tif.c_str());
  return bad;
}

struct Child {
  pid_t pid = 0;
  Input input;
  std::string path;
  std::string errPath;
  Clock::time_point started;
};

struct Findings {
  int crashes = 0;
  int hangs = 0;
  int printed = 0;
  int silent = 0;
  int notes = 0;
  int runs = 0;
  std::map<std::string, int> perFormat;
};

pid_t spawn(const std::string& path, const std::string& errPath, const std::string& workDir) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (err >= 0) {
    dup2(err, 2);
    dup2(err, 1);
  }
  if (null >= 0) dup2(null, 0);
  struct rlimit mem = {kMemoryLimit, kMemoryLimit};
  setrlimit(RLIMIT_AS, &mem);
  struct rlimit core = {0, 0};
  setrlimit(RLIMIT_CORE, &core);
  struct rlimit cpu = {kCpuSeconds, kCpuSeconds + 5};
  setrlimit(RLIMIT_CPU, &cpu);
  int status = exercise(path, workDir);
  fflush(stdout);
  fflush(stderr);
  // Not exit(): a library's exit handler would wait for threads that only the parent has.
  _exit(status);
}

std::string describe(int status) {
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string firstLines(const std::string& path, int lines) {
  Bytes b = readBytes(path);
  std::string text(b.begin(), b.end());
  size_t at = 0;
  for (int i = 0; i < lines && at != std::string::npos; ++i) {
    at = text.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  if (at != std::string::npos) text.resize(at);
  return text;
}

class Runner {
 public:
  Runner(const Options& opt, std::string workDir) : opt_(opt), work_(std::move(workDir)) {}

  void submit(Input in) {
    while (running_.size() >= size_t(std::max(1, opt_.jobs))) reap(true);
    Child c;
    c.input = std::move(in);
    const std::string id = std::to_string(next_++);
    c.path = work_ + "/in-" + id + "." + c.input.ext;
    c.errPath = work_ + "/err-" + id + ".txt";
    if (!writeBytes(c.path, c.input.bytes)) {
      fprintf(stderr, "cannot write %s\n", c.path.c_str());
      exit(2);
    }
    c.started = Clock::now();
    c.pid = spawn(c.path, c.errPath, work_);
    if (c.pid < 0) {
      perror("fork");
      exit(2);
    }
    running_.push_back(std::move(c));
  }

  void drain() {
    while (!running_.empty()) reap(true);
  }

  const Findings& findings() const { return found_; }

 private:
  void reap(bool block) {
    for (;;) {
      for (size_t i = 0; i < running_.size(); ++i) {
        Child& c = running_[i];
        int status = 0;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        bool hung = false;
        if (r == 0) {
          if (Clock::now() - c.started < std::chrono::seconds(kTimeoutSeconds)) continue;
          kill(c.pid, SIGKILL);
          waitpid(c.pid, &status, 0);
          hung = true;
        }
        finish(c, status, hung);
        running_.erase(running_.begin() + long(i));
        return;
      }
      if (!block) return;
      usleep(2000);
    }
  }

  void finish(const Child& c, int status, bool hung) {
    ++found_.runs;
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL))
      hung = true;  // the processor-time limit
    const bool crashed = !hung && WIFSIGNALED(status);
    const bool silentFailure = !hung && WIFEXITED(status) && WEXITSTATUS(status) == 1;
    // Text from libpng or libjpeg is a finding; the AV1 decoders below libheif print their own
    // complaints, which nothing above them can turn off: those are shown, not counted.
    const std::string text = firstLines(c.errPath, 1000);
    const bool printed = text.find("libpng") != std::string::npos ||
                         text.find("JPEG") != std::string::npos ||
                         text.find("jpeg") != std::string::npos;
    if (!printed && !text.empty()) {
      ++found_.notes;
      if (found_.notes <= 5)
        printf("note: %s printed: %s", c.input.label.c_str(), firstLines(c.errPath, 1).c_str());
    }
    if (crashed || hung || printed || (WIFEXITED(status) && WEXITSTATUS(status) > 1)) {
      const char* kind = hung ? "hang" : crashed ? "crash" : printed ? "output" : "failure";
      const std::string saved =
          opt_.out + "/" + kind + "-" + c.input.label + "." + c.input.ext;
      mkdir(opt_.out.c_str(), 0755);
      writeBytes(saved, c.input.bytes);
      printf("%s: %s (%s), input saved as %s\n", kind, c.input.label.c_str(),
             hung ? "no result within the time limits" : describe(status).c_str(), saved.c_str());
      if (printed) printf("    printed: %s", firstLines(c.errPath, 4).c_str());
      if (hung) ++found_.hangs;
      else if (crashed || (WIFEXITED(status) && WEXITSTATUS(status) > 1)) ++found_.crashes;
      else ++found_.printed;
      if (crashed || hung) ++found_.perFormat[c.input.ext];
    } else if (silentFailure) {
      ++found_.silent;
      printf("failure without a reason: %s\n", c.input.label.c_str());
    }
    unlink(c.path.c_str());
    unlink(c.errPath.c_str());
  }

  const Options& opt_;
  std::string work_;
  std::vector<Child> running_;
  uint64_t next_ = 0;
  Findings found_;
};

// --- main --------------------------------------------------------------------------------------

int usage() {
  fprintf(stderr,
          "usage: rastcore_fuzz [--inputs N] [--seconds S] [--seed X] [--jobs J] "
          "[--formats a,b] [--out DIR] [--keep-seeds DIR]\n"
          "       rastcore_fuzz --replay FILE...\n");
  return 2;
}

std::vector<std::string> splitList(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    if (comma > start) out.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int threadsOfThisProcess() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int threadsAtStart = threadsOfThisProcess();
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) exit(usage());
      return argv[++i];
    };
    if (a == "--inputs") opt.inputs = atoi(value().c_str());
    else if (a == "--seconds") opt.seconds = atoi(value().c_str());
    else if (a == "--seed") opt.seed = strtoull(value().c_str(), nullptr, 0);
    else if (a == "--jobs") opt.jobs = atoi(value().c_str());
    else if (a == "--formats") opt.formats = splitList(value());
    else if (a == "--out") opt.out = value();
    else if (a == "--keep-seeds") opt.keepSeeds = value();
    else if (a == "--replay") {
      while (i + 1 < argc) opt.replay.push_back(argv[++i]);
    } else return usage();
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/rastcore-fuzz-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    perror("mkdtemp");
    return 2;
  }
  const std::string work = name.data();
  auto cleanUp = [&] {
    for (const auto& f : filesIn(work)) unlink(f.c_str());
    rmdir(work.c_str());
  };

  Runner runner(opt, work);
  const auto start = Clock::now();
  if (!opt.replay.empty()) {
    std::vector<std::string> files;
    for (const auto& r : opt.replay) {
      struct stat st {};
      if (stat(r.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        for (const auto& f : filesIn(r)) files.push_back(f);
      } else {
        files.push_back(r);
      }
    }
    for (const auto& f : files) {
      const size_t slash = f.find_last_of('/');
      std::string label = f.substr(slash == std::string::npos ? 0 : slash + 1);
      label = label.substr(0, label.find_last_of('.'));
      runner.submit({label, extOf(f), readBytes(f)});
    }
    runner.drain();
  } else {
    // The seeds, made by the library in a child of their own.
    const std::string seedDir = opt.keepSeeds.empty() ? work + "/seeds" : opt.keepSeeds;
    mkdir(seedDir.c_str(), 0755);
    pid_t pid = fork();
    if (pid == 0) {
      writeSeeds(seedDir, opt.formats);
      fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "making the seeds failed: %s\n", describe(status).c_str());
      return 2;
    }
    std::vector<Seed> seeds;
    for (const auto& f : filesIn(seedDir)) {
      const size_t slash = f.find_last_of('/');
      std::string base = f.substr(slash + 1);
      seeds.push_back({base.substr(0, base.find_last_of('.')), extOf(f), readBytes(f)});
    }
    if (opt.keepSeeds.empty()) {
      for (const auto& f : filesIn(seedDir)) unlink(f.c_str());
      rmdir(seedDir.c_str());
    }
    if (seeds.empty()) {
      fprintf(stderr, "no seeds\n");
      return 2;
    }
    // Inputs per format are shared among that format's seeds.
    std::map<std::string, int> seedsPerFormat;
    for (const auto& s : seeds) ++seedsPerFormat[s.ext];
    printf("%zu seeds over %zu formats; seed %llu, %s\n", seeds.size(), seedsPerFormat.size(),
           (unsigned long long)opt.seed,
           opt.seconds ? ("for " + std::to_string(opt.seconds) + " s").c_str()
                       : (std::to_string(opt.inputs) + " inputs per format").c_str());
    // The fuzzing process never calls the library itself (seeds and inputs are handled in
    // children), so it forks from a quiet state: only the idle threads that libraries start when
    // they are loaded may exist.
    if (threadsOfThisProcess() != threadsAtStart) {
      fprintf(stderr, "the fuzzer started threads before forking\n");
      return 2;
    }
    auto deadline = start + std::chrono::seconds(opt.seconds);
    for (uint64_t round = 0;; ++round) {
      bool any = false;
      for (const Seed& s : seeds) {
        const int per = (opt.inputs + seedsPerFormat[s.ext] - 1) / seedsPerFormat[s.ext];
        if (!opt.seconds && round >= uint64_t(per)) continue;
        any = true;
        const uint64_t inputSeed = mix(mix(opt.seed, hashText(s.name)), round);
        Mutator m(inputSeed);
        char label[96];
        snprintf(label, sizeof label, "%s-%llu-%llu", s.name.c_str(),
                 (unsigned long long)opt.seed, (unsigned long long)round);
        runner.submit({label, s.ext, m.mutate(s.bytes)});
      }
      if (!any || (opt.seconds && Clock::now() >= deadline)) break;
      if (opt.seconds && round % 50 == 49) {
        const auto& f = runner.findings();
        printf("  %d inputs, %d crashes, %d hangs, %d printed, %.0f s\n", f.runs, f.crashes,
               f.hangs, f.printed,
               std::chrono::duration<double>(Clock::now() - start).count());
      }
    }
    runner.drain();
  }
  cleanUp();
  const Findings& f = runner.findings();
  printf("%d inputs in %.1f s: %d crashes, %d hangs, %d with libpng/libjpeg text on stderr, %d "
         "failed without a reason (%d printed other text)\n",
         f.runs, std::chrono::duration<double>(Clock::now() - start).count(), f.crashes, f.hangs,
         f.printed, f.silent, f.notes);
  for (const auto& [ext, n] : f.perFormat) printf("  .%s: %d\n", ext.c_str(), n);
  return f.crashes || f.hangs || f.printed || f.silent ? 1 : 0;
}
