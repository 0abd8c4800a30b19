// Writing a 64 MiB file reply through sendResponse, against the plain loop a hand-written server
// would use: read a chunk into one buffer, hand it to the peer, repeat. Both use the default chunk
// size and a peer that only counts bytes. Target: sendResponse at most 1.2x the plain loop.
//
//   build/bin/bench_http_writer
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/http/http-response-writer.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

constexpr size_t kFileSize = 64u << 20;

class CountingConnection : public http::HttpResponseConnection {
 public:
  int write(const void* data, size_t length) override {
    benchmark::DoNotOptimize(data);
    bytes += length;
    return static_cast<int>(length);
  }
  void addHeader(const std::string&, const std::string&) override {}
  void setStatus(int, const char*) override {}
  void finish() override {}
  uint64_t bytes = 0;
};

class GetRequest : public http::HttpRequest {
 public:
  std::string method() override { return "GET"; }
  uint64_t contentLength() override { return 0; }
  std::string uri() override { return "https://app.local/localfile"; }
  http::HeaderList headers() override { return {}; }
  std::vector<uint8_t> reserved() override { return {}; }
  std::string header(const std::string&) override { return {}; }
  std::string read(size_t) override { return {}; }
};

// The 64 MiB file, made once and removed at exit.
const std::string& testFile() {
  static const std::string path = [] {
    std::string name = (std::filesystem::temp_directory_path() / "pel-bench-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) std::abort();
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    for (size_t done = 0; done < kFileSize; done += block.size()) {
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
    }
    ::close(fd);
    std::atexit([] { std::filesystem::remove(testFile()); });
    return name;
  }();
  return path;
}

void SendResponseFile(benchmark::State& state) {
  GetRequest request;
  for (auto _ : state) {
    CountingConnection connection;
    http::HttpFileResponse response(testFile(), "application/octet-stream");
    http::sendResponse(&connection, &request, &response);
    if (connection.bytes != kFileSize) state.SkipWithError("short reply");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void PlainReadCopyLoop(benchmark::State& state) {
  std::vector<char> buffer(http::kDefaultChunkSize);
  for (auto _ : state) {
    CountingConnection connection;
    std::FILE* file = std::fopen(testFile().c_str(), "rb");
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
      if (connection.write(buffer.data(), got) != static_cast<int>(got)) break;
    }
    std::fclose(file);
    if (connection.bytes != kFileSize) state.SkipWithError("short copy");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(SendResponseFile)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(PlainReadCopyLoop)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
