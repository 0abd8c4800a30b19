// UTF-8 <-> UTF-16 on 1 MiB of mixed text: our codec against glibc's iconv and the standard
// library's codecvt facet.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <locale>
#include <stdexcept>
#include <string>

#include "vesk/strings.h"
#include "vesk/tstring.h"
#include "vesk/utf.h"

namespace {

// Mostly ASCII prose with Latin accents, Greek, CJK and emoji mixed in: about 1 MiB of UTF-8.
const std::string& mixedUtf8() {
  static const std::string text = [] {
    const std::string pieces[] = {
        "The quick brown fox jumps over the lazy dog. ",
        "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e, na\xC3\xAFve r\xC3\xA9sum\xC3\xA9. ",
        "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5. ",
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88\xE3\x80\x82",
        "Emoji \xF0\x9F\x98\x80\xF0\x9F\x8E\x89 and symbols \xE2\x82\xAC\xE2\x84\xA2. ",
        "/home/user/Pictures/2024/IMG_0001.jpg\n",
    };
    std::string out;
    size_t i = 0;
    while (out.size() < (1u << 20)) out += pieces[i++ % 6];
    return out;
  }();
  return text;
}

const Vesk::WString& mixedUtf16() {
  static const Vesk::WString text = Vesk::utf::fromUtf8(mixedUtf8());
  return text;
}

void BM_Ours_Utf8ToUtf16(benchmark::State& state) {
  const std::string& in = mixedUtf8();
  for (auto _ : state) {
    Vesk::WString out = zrk::toUtf16(in);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Ours_Utf16ToUtf8(benchmark::State& state) {
  const Vesk::WString& in = mixedUtf16();
  for (auto _ : state) {
    std::string out = zrk::toUtf8(in);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mixedUtf8().size()));
}

void BM_OursReplace_TStringRoundTrip(benchmark::State& state) {
  const std::string& in = mixedUtf8();
  for (auto _ : state) {
    Vesk::TString text(in);
    std::string back = text.utf8String();
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size() * 2));
}

// iconv, measured the same way: sized output, one call.
void BM_Iconv_Utf8ToUtf16(benchmark::State& state) {
  const std::string& in = mixedUtf8();
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  for (auto _ : state) {
    Vesk::WString out(in.size(), u'\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = reinterpret_cast<char*>(out.data());
    size_t dstLeft = out.size() * 2;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) state.SkipWithError("iconv");
    out.resize(out.size() - dstLeft / 2);
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Iconv_Utf16ToUtf8(benchmark::State& state) {
  const Vesk::WString& in = mixedUtf16();
  iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
  for (auto _ : state) {
    std::string out(in.size() * 3, '\0');
    char* src = reinterpret_cast<char*>(const_cast<char16_t*>(in.data()));
    size_t srcLeft = in.size() * 2;
    char* dst = out.data();
    size_t dstLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) state.SkipWithError("iconv");
    out.resize(out.size() - dstLeft);
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mixedUtf8().size()));
}

// The standard library's char16_t/char8_t facet.
using Facet = std::codecvt<char16_t, char8_t, std::mbstate_t>;

void BM_Codecvt_Utf8ToUtf16(benchmark::State& state) {
  const std::string& in = mixedUtf8();
  const auto& facet = std::use_facet<Facet>(std::locale::classic());
  for (auto _ : state) {
    Vesk::WString out(in.size(), u'\0');
    std::mbstate_t mb{};
    const char8_t* from = reinterpret_cast<const char8_t*>(in.data());
    const char8_t* fromNext = nullptr;
    char16_t* toNext = nullptr;
    if (facet.in(mb, from, from + in.size(), fromNext, out.data(), out.data() + out.size(), toNext) != Facet::ok)
      state.SkipWithError("codecvt");
    out.resize(static_cast<size_t>(toNext - out.data()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Codecvt_Utf16ToUtf8(benchmark::State& state) {
  const Vesk::WString& in = mixedUtf16();
  const auto& facet = std::use_facet<Facet>(std::locale::classic());
  for (auto _ : state) {
    std::u8string out(in.size() * 3, u8'\0');
    std::mbstate_t mb{};
    const char16_t* fromNext = nullptr;
    char8_t* toNext = nullptr;
    if (facet.out(mb, in.data(), in.data() + in.size(), fromNext, out.data(), out.data() + out.size(), toNext) !=
        Facet::ok)
      state.SkipWithError("codecvt");
    out.resize(static_cast<size_t>(toNext - out.data()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mixedUtf8().size()));
}

BENCHMARK(BM_Ours_Utf8ToUtf16);
BENCHMARK(BM_Iconv_Utf8ToUtf16);
BENCHMARK(BM_Codecvt_Utf8ToUtf16);
BENCHMARK(BM_Ours_Utf16ToUtf8);
BENCHMARK(BM_Iconv_Utf16ToUtf8);
BENCHMARK(BM_Codecvt_Utf16ToUtf8);
BENCHMARK(BM_OursReplace_TStringRoundTrip);

}  // namespace

BENCHMARK_MAIN();
