// AES-256-CTR decryption and SHA-256 of 64 MiB: the Vesk::TData helpers against the same work
// done directly with Crypto++. Both sides make a fresh output buffer per run, as the helpers do.
#include <benchmark/benchmark.h>

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <memory>
#include <vector>

#include "vesk/tdata.h"

namespace {

constexpr size_t kSize = size_t{64} << 20;

const std::shared_ptr<Vesk::TData>& input() {
  static const auto data = [] {
    auto d = std::make_shared<Vesk::TData>(kSize);
    uint32_t x = 12345;
    for (size_t i = 0; i < kSize; ++i) {
      x = x * 1103515245u + 12345u;
      d->bytes()[i] = static_cast<uint8_t>(x >> 16);
    }
    return d;
  }();
  return data;
}

const std::shared_ptr<Vesk::TData>& key() {
  static const auto k = [] {
    auto d = std::make_shared<Vesk::TData>(32);
    for (size_t i = 0; i < 32; ++i) d->bytes()[i] = static_cast<uint8_t>(i * 7 + 1);
    return d;
  }();
  return k;
}

const std::shared_ptr<Vesk::TData>& iv() {
  static const auto v = [] {
    auto d = std::make_shared<Vesk::TData>(16);
    for (size_t i = 0; i < 16; ++i) d->bytes()[i] = static_cast<uint8_t>(0xf0 + i);
    return d;
  }();
  return v;
}

void BM_Ours_AesCtr256Decrypt(benchmark::State& state) {
  const auto& in = input();
  for (auto _ : state) {
    auto out = Vesk::TData::aesCtrDecrypt(in, key(), iv());
    benchmark::DoNotOptimize(out->bytes());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_Cryptopp_AesCtr256Decrypt(benchmark::State& state) {
  const auto& in = input();
  for (auto _ : state) {
    CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption cipher;
    cipher.SetKeyWithIV(key()->bytes(), key()->length(), iv()->bytes(), 16);
    std::vector<CryptoPP::byte> out(kSize);
    cipher.ProcessData(out.data(), in->bytes(), kSize);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_Ours_Sha256(benchmark::State& state) {
  const auto& in = input();
  for (auto _ : state) {
    auto digest = Vesk::TData::sha256(in);
    benchmark::DoNotOptimize(digest->bytes());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_Cryptopp_Sha256(benchmark::State& state) {
  const auto& in = input();
  for (auto _ : state) {
    CryptoPP::SHA256 hash;
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    hash.CalculateDigest(digest, in->bytes(), kSize);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

}  // namespace

BENCHMARK(BM_Ours_AesCtr256Decrypt)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Cryptopp_AesCtr256Decrypt)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Ours_Sha256)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Cryptopp_Sha256)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
