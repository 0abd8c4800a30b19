// The fs plugin against the system's tools, warm cache, one run each:
// - read_file of a 1 GiB file (the plugin's reply written by the response writer into a
//   connection that only counts) against `cat file >/dev/null`;
// - digest SHA-512, SHA-1 and MD5 of that file against sha512sum, sha1sum and md5sum;
// - read_dir of a folder of 100,000 entries against `ls -f` and against
//   `find -maxdepth 1 -printf '%y %s %T@\n'`.
// The fixtures live in $PEL_BENCH_DIR (default: a new folder below /tmp), removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/fs/fs-plugin.h"
#include "zrkwebview/browser/src/http/http-response-writer.h"

namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;

constexpr uint64_t kFileSize = uint64_t{1} << 30;
constexpr int kEntries = 100000;

class CountingConnection : public http::HttpResponseConnection {
 public:
  int write(const void*, size_t length) override {
    bytes += length;
    return static_cast<int>(length);
  }
  void addHeader(const std::string&, const std::string&) override {}
  void setStatus(int code, const char*) override { status = code; }
  void finish() override {}
  uint64_t bytes = 0;
  int status = 0;
};

struct Fixtures {
  std::string dir;
  std::string file;
  std::string folder;

  Fixtures() {
    const char* given = std::getenv("PEL_BENCH_DIR");
    if (given != nullptr && given[0] != 0) {
      dir = given;
      stdfs::create_directories(dir);
    } else {
      std::string pattern = "/tmp/pel-fs-bench-XXXXXX";
      dir = ::mkdtemp(pattern.data());
    }
    file = dir + "/big.bin";
    folder = dir + "/many";
    if (!stdfs::exists(file) || stdfs::file_size(file) != kFileSize) {
      const int fd = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
      std::string block(1 << 20, '\0');
      uint32_t x = 1;
      for (uint64_t done = 0; done < kFileSize; done += block.size()) {
        for (auto& c : block) {
          x = x * 1103515245u + 12345u;
          c = static_cast<char>(x >> 16);
        }
        if (::write(fd, block.data(), block.size()) < 0) std::abort();
      }
      ::close(fd);
    }
    if (!stdfs::exists(folder)) {
      stdfs::create_directory(folder);
      for (int i = 0; i < kEntries; ++i) {
        const std::string name = folder + "/entry-" + std::to_string(i) + ".jpg";
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
        if (i % 3 == 0 && ::write(fd, "abc", 3) < 0) std::abort();
        ::close(fd);
      }
    }
    // Warm the cache.
    run("cat '" + file + "' >/dev/null && ls -f '" + folder + "' >/dev/null");
  }
  ~Fixtures() {
    if (std::getenv("PEL_BENCH_DIR") == nullptr) stdfs::remove_all(dir);
  }

  static void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::abort();
  }
};

Fixtures& fixtures() {
  static Fixtures instance;
  return instance;
}

zrk::plugin::FSPlugin& plugin() {
  static zrk::plugin::FSPlugin instance;
  return instance;
}

uint64_t sendThroughWriter(const std::shared_ptr<Vesk::TObject>& result) {
  auto response = std::dynamic_pointer_cast<http::HttpResponse>(result);
  pel::test::FakeRequest request("POST", "https://app.local/plugin?name=fs");
  CountingConnection connection;
  http::sendResponse(&connection, &request, response.get());
  if (connection.status != 200) std::abort();
  return connection.bytes;
}

void timedCommand(benchmark::State& state, const std::string& command) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Fixtures::run(command);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

void BM_Ours_ReadFile1GiB_Binary(benchmark::State& state) {
  const json payload = {{"path", fixtures().file}, {"options", {{"mode", 4}}}};
  for (auto _ : state) {
    const uint64_t bytes = sendThroughWriter(plugin().invoke("read_file", nullptr, nullptr, nullptr, payload));
    if (bytes != kFileSize) std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Ours_ReadFile1GiB_Text(benchmark::State& state) {
  const json payload = {{"path", fixtures().file}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        sendThroughWriter(plugin().invoke("read_file", nullptr, nullptr, nullptr, payload)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Peer_Cat1GiB(benchmark::State& state) {
  timedCommand(state, "cat '" + fixtures().file + "' >/dev/null");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void digestOurs(benchmark::State& state, const char* method) {
  const json payload = {{"path", fixtures().file}, {"method", method}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(sendThroughWriter(plugin().invoke("digest", nullptr, nullptr, nullptr, payload)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Ours_DigestSha512(benchmark::State& state) { digestOurs(state, "SHA512"); }
void BM_Peer_Sha512sum(benchmark::State& state) {
  timedCommand(state, "sha512sum '" + fixtures().file + "' >/dev/null");
}
void BM_Ours_DigestSha1(benchmark::State& state) { digestOurs(state, "SHA1"); }
void BM_Peer_Sha1sum(benchmark::State& state) {
  timedCommand(state, "sha1sum '" + fixtures().file + "' >/dev/null");
}
void BM_Ours_DigestMd5(benchmark::State& state) { digestOurs(state, "MD5"); }
void BM_Peer_Md5sum(benchmark::State& state) {
  timedCommand(state, "md5sum '" + fixtures().file + "' >/dev/null");
}

void BM_Ours_ReadDir100k(benchmark::State& state) {
  const json payload = {{"path", fixtures().folder}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(sendThroughWriter(plugin().invoke("read_dir", nullptr, nullptr, nullptr, payload)));
  }
}
void BM_Peer_LsF100k(benchmark::State& state) {
  timedCommand(state, "ls -f '" + fixtures().folder + "' >/dev/null");
}
void BM_Peer_FindPrintf100k(benchmark::State& state) {
  timedCommand(state, "find '" + fixtures().folder + "' -maxdepth 1 -printf '%y %s %T@\\n' >/dev/null");
}

#define PEL_ONE_RUN(name) BENCHMARK(name)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime()
#define PEL_ONE_COMMAND(name) \
  BENCHMARK(name)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime()

PEL_ONE_RUN(BM_Ours_ReadFile1GiB_Binary);
PEL_ONE_RUN(BM_Ours_ReadFile1GiB_Text);
PEL_ONE_COMMAND(BM_Peer_Cat1GiB);
PEL_ONE_RUN(BM_Ours_DigestSha512);
PEL_ONE_COMMAND(BM_Peer_Sha512sum);
PEL_ONE_RUN(BM_Ours_DigestSha1);
PEL_ONE_COMMAND(BM_Peer_Sha1sum);
PEL_ONE_RUN(BM_Ours_DigestMd5);
PEL_ONE_COMMAND(BM_Peer_Md5sum);
PEL_ONE_RUN(BM_Ours_ReadDir100k);
PEL_ONE_COMMAND(BM_Peer_LsF100k);
PEL_ONE_COMMAND(BM_Peer_FindPrintf100k);

}  // namespace

BENCHMARK_MAIN();
