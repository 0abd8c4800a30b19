// The registry's file store against plain file operations on the same file, in one run:
//   write: one value into a 200-value store      vs  write + fsync + rename of the file's bytes
//   read:  one value, file unchanged (cached)    vs  open + read + close of the file
//   read:  one value after another process replaced the file (re-read) vs a plain read of the
//          file just replaced
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "desk/registry.h"

namespace {

std::string folder() {
  static const std::string f = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/desk-registry-bench-XXXXXX";
    return std::string(mkdtemp(pattern.data()));
  }();
  return f;
}

std::string storePath() { return folder() + "/registry.json"; }

// A store of 200 values: DWORDs, texts and small binaries, as settings look.
desk::HKEY prepare() {
  static desk::HKEY key = [] {
    desk::useRegistryPath(storePath());
    desk::HKEY k = nullptr;
    desk::RegCreateKeyExA(desk::HKEY_CURRENT_USER, "Software\\Pelmora\\bench", 0, nullptr, 0,
                          desk::KEY_ALL_ACCESS, nullptr, &k, nullptr);
    for (uint32_t i = 0; i < 200; ++i) {
      const std::string name = "value" + std::to_string(i);
      if (i % 3 == 0) {
        desk::RegSetValueExA(k, name.c_str(), 0, desk::REG_DWORD,
                             reinterpret_cast<const desk::BYTE*>(&i), 4);
      } else if (i % 3 == 1) {
        const std::string text = "C:/Users/someone/Pictures/holiday " + std::to_string(i);
        desk::RegSetValueExA(k, name.c_str(), 0, desk::REG_SZ,
                             reinterpret_cast<const desk::BYTE*>(text.data()),
                             static_cast<desk::DWORD>(text.size()));
      } else {
        const std::string bytes(16, static_cast<char>(i));
        desk::RegSetValueExA(k, name.c_str(), 0, desk::REG_BINARY,
                             reinterpret_cast<const desk::BYTE*>(bytes.data()), 16);
      }
    }
    return k;
  }();
  return key;
}

std::string fileBytes() {
  std::ifstream in(storePath(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void BM_RegistryWrite(benchmark::State& state) {
  desk::HKEY key = prepare();
  uint32_t v = 0;
  for (auto _ : state) {
    ++v;
    desk::RegSetValueExA(key, "value7", 0, desk::REG_DWORD, reinterpret_cast<const desk::BYTE*>(&v), 4);
  }
}
BENCHMARK(BM_RegistryWrite);

void BM_PlainDurableWrite(benchmark::State& state) {
  prepare();
  const std::string bytes = fileBytes();
  const std::string path = folder() + "/plain.json";
  const std::string temp = path + ".tmp";
  for (auto _ : state) {
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(write(fd, bytes.data(), bytes.size()));
    fsync(fd);
    close(fd);
    rename(temp.c_str(), path.c_str());
  }
}
BENCHMARK(BM_PlainDurableWrite);

void BM_RegistryReadCached(benchmark::State& state) {
  desk::HKEY key = prepare();
  uint32_t v = 0;
  for (auto _ : state) {
    desk::DWORD size = 4;
    desk::RegQueryValueExA(key, "value9", nullptr, nullptr, reinterpret_cast<desk::BYTE*>(&v), &size);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_RegistryReadCached);

void BM_RegistryReadAfterChange(benchmark::State& state) {
  desk::HKEY key = prepare();
  const std::string bytes = fileBytes();
  const std::string temp = folder() + "/other.tmp";
  uint32_t v = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Another process replaces the file, as the store's own writers do.
    {
      std::ofstream(temp, std::ios::binary | std::ios::trunc) << bytes;
    }
    rename(temp.c_str(), storePath().c_str());
    state.ResumeTiming();
    desk::DWORD size = 4;
    desk::RegQueryValueExA(key, "value9", nullptr, nullptr, reinterpret_cast<desk::BYTE*>(&v), &size);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_RegistryReadAfterChange);

void BM_PlainRead(benchmark::State& state) {
  prepare();
  std::string buffer;
  for (auto _ : state) {
    const int fd = open(storePath().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    fstat(fd, &st);
    buffer.resize(static_cast<size_t>(st.st_size));
    benchmark::DoNotOptimize(read(fd, buffer.data(), buffer.size()));
    close(fd);
  }
}
BENCHMARK(BM_PlainRead);

// The plain read under the same conditions as the re-read: the file was just replaced.
void BM_PlainReadAfterChange(benchmark::State& state) {
  prepare();
  const std::string bytes = fileBytes();
  const std::string temp = folder() + "/other.tmp";
  std::string buffer;
  for (auto _ : state) {
    state.PauseTiming();
    {
      std::ofstream(temp, std::ios::binary | std::ios::trunc) << bytes;
    }
    rename(temp.c_str(), storePath().c_str());
    state.ResumeTiming();
    const int fd = open(storePath().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    fstat(fd, &st);
    buffer.resize(static_cast<size_t>(st.st_size));
    benchmark::DoNotOptimize(read(fd, buffer.data(), buffer.size()));
    close(fd);
  }
}
BENCHMARK(BM_PlainReadAfterChange);

}  // namespace

BENCHMARK_MAIN();
