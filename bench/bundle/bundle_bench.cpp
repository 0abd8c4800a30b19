// Loading a 50 MiB bundle of mixed files (read, decrypt, digest and verify, inflate, slice into
// the store) against plain zlib inflation of the same gzip payload, in the same run.
//
//   ninja -C build bundle_bench && build/bin/bundle_bench
//
// The target: the load takes at most 1.3 times the plain inflation.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "src/resource-bundle.h"
#include "tools/bundler/keys.h"
#include "tools/bundler/writer.h"
#include "vesk/tdata.h"

namespace {

constexpr size_t kTotal = size_t{50} << 20;

struct Fixture {
  std::string path;
  std::string gzip;  // the decrypted payload
  size_t inflatedSize = 0;
  std::shared_ptr<Vesk::TData> key;

  Fixture() {
    pelbundle::KeySet keys = pelbundle::generateKeySet();
    std::mt19937_64 rng(42);
    const char* words[] = {"function", "const", "return", "window", "__zrk__", "document",
                           "addEventListener", "style", "<div class=\"row\">", "</div>",
                           "margin: 0;", "color: #333;", "=>", "await", "fetch(", "JSON.parse",
                           "if (", ") {", "}", "\n", "  ", "image", "thumbnail", "label"};
    std::vector<pelbundle::Entry> entries;
    size_t total = 0;
    for (int i = 0; total < kTotal; ++i) {
      std::string content;
      if (i % 2 == 0) {
        // Images: already compressed, so random bytes. Half the bytes are images, half text.
        content.resize(std::min<size_t>(16 * 1024 + rng() % (256 * 1024), kTotal - total));
        for (auto& c : content) c = static_cast<char>(rng());
        entries.push_back({"img/picture-" + std::to_string(i) + ".png", std::move(content)});
      } else {
        // Pages, scripts and style sheets: text.
        size_t size = std::min<size_t>(16 * 1024 + rng() % (256 * 1024), kTotal - total);
        while (content.size() < size) {
          content += words[rng() % std::size(words)];
          content += (rng() % 3 == 0) ? std::to_string(rng() % 1000) : " ";
        }
        content.resize(size);
        const char* ext[] = {".js", ".css", ".w"};
        entries.push_back({"ui/file-" + std::to_string(i) + ext[i % 3], std::move(content)});
      }
      total += entries.back().content.size();
    }
    inflatedSize = total;
    auto image = pelbundle::makeBundleImage(std::move(entries), keys.signingKeyPem,
                                            pelbundle::randomIv());
    gzip = image.payload;
    path = (std::filesystem::temp_directory_path() /
            ("pel-bundle-bench-" + std::to_string(::getpid()) + ".dat"))
               .string();
    std::ofstream(path, std::ios::binary) << pelbundle::serializeBundle(image, keys.payloadKey);
    key = std::make_shared<Vesk::TData>(keys.payloadKey.data(), keys.payloadKey.size());
    installSignatureVerifier();
    setVerifyKey(keys.verifyKeyPem.c_str());
  }
  ~Fixture() { std::filesystem::remove(path); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_LoadBundle(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    if (!loadResourceBundleWithKey(f.path, f.key)) state.SkipWithError("the bundle did not load");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.inflatedSize));
  state.counters["entries"] = static_cast<double>(BundleStore::size());
}

// One gzip member inflated by zlib into `out` (at least the inflated size); false on failure.
bool gunzip(const std::string& gzip, char* out, size_t size) {
  z_stream zs{};
  if (inflateInit2(&zs, 31) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
  zs.avail_in = static_cast<uInt>(gzip.size());
  zs.next_out = reinterpret_cast<Bytef*>(out);
  zs.avail_out = static_cast<uInt>(size);
  int rc = inflate(&zs, Z_FINISH);
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

// The peer: the payload inflated into a new buffer, as a decompression yields its result.
void BM_ZlibGunzip(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::unique_ptr<char[]> out(new char[f.inflatedSize]);
    if (!gunzip(f.gzip, out.get(), f.inflatedSize)) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.inflatedSize));
}

// For reference: the same into one buffer kept from run to run (no fresh memory at all).
void BM_ZlibGunzipReusedBuffer(benchmark::State& state) {
  Fixture& f = fixture();
  std::unique_ptr<char[]> out(new char[f.inflatedSize]);
  for (auto _ : state) {
    if (!gunzip(f.gzip, out.get(), f.inflatedSize)) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.inflatedSize));
}

BENCHMARK(BM_ZlibGunzip)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ZlibGunzipReusedBuffer)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadBundle)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
