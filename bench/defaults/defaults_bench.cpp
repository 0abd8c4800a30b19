// The settings plugin against a plain JSON settings file, in one run, on a store of 10,000 keys:
//   get: one "get" command through the plugin      vs  parse the whole file, look the key up
//   set: one "set" command through the plugin      vs  parse the file, change the key, write a
//                                                      temporary file, fsync, rename
// 10,000 gets and 1,000 sets on each side.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "desk/detail/registry_file.h"
#include "desk/registry.h"
#include "vesk/strings.h"
#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/defaults/defaults-plugin.h"
#include "zrkwebview/browser/src/http/http-responses.h"

namespace {

using nlohmann::json;

constexpr int kKeys = 10000;

std::string folder() {
  static const std::string f = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/defaults-bench-XXXXXX";
    return std::string(mkdtemp(pattern.data()));
  }();
  return f;
}

std::string keyName(int i) { return "setting." + std::to_string(i); }

// The same 10,000 settings on both sides: whole numbers, texts and flags.
json settingValue(int i) {
  if (i % 3 == 0) return i;
  if (i % 3 == 1) return "/home/someone/Pictures/holiday " + std::to_string(i);
  return i % 2 == 0;
}
const char* settingType(int i) { return i % 3 == 0 ? "integer" : i % 3 == 1 ? "string" : "boolean"; }

// The registry file holding the 10,000 settings as the plugin lays them out, written in one go
// (10,000 durable "set"s would take minutes).
void writeStore(const std::string& path) {
  const std::string keyPath =
      zrk::plugin::DefaultsStore::keyPath(zrk::plugin::DefaultsPlugin::storeName());
  desk::detail::RegStore store;
  desk::detail::RegKey& key = store[desk::detail::foldName(keyPath)];
  key.path = keyPath;
  store[desk::detail::foldName("Software")].path = "Software";
  for (int i = 0; i < kKeys; ++i) {
    desk::detail::RegValue value;
    value.name = keyName(i);
    const json v = settingValue(i);
    if (v.is_number_integer()) {
      const int64_t n = v.get<int64_t>();
      value.type = desk::REG_BINARY;
      value.bytes.assign(reinterpret_cast<const char*>(&n), 8);
    } else if (v.is_string()) {
      const std::u16string text = zrk::toUtf16(v.get<std::string>());
      value.type = desk::REG_SZ;
      value.bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    } else {
      value.type = desk::REG_BINARY;
      value.bytes.assign(1, v.get<bool>() ? '\1' : '\0');
    }
    key.values[desk::detail::foldName(value.name)] = value;
  }
  std::ofstream(path, std::ios::binary) << desk::detail::writeRegistryDocument(store);
}

zrk::plugin::DefaultsPlugin& plugin() {
  static zrk::plugin::DefaultsPlugin* p = [] {
    const std::string path = folder() + "/registry.json";
    writeStore(path);
    desk::useRegistryPath(path);
    auto* made = new zrk::plugin::DefaultsPlugin;
    // The store must read as the plugin wrote it.
    auto webview = std::make_shared<pel::test::FakeWebview>();
    pel::test::FakeRequest request;
    for (int i : {0, 1, 2}) {
      auto reply = std::dynamic_pointer_cast<http::HttpMimeResponse>(made->invoke(
          "get", webview.get(), nullptr, &request, {{"key", keyName(i)}, {"type", settingType(i)}}));
      if (!reply || reply->body() != settingValue(i).dump()) {
        std::fprintf(stderr, "the prepared store does not read back (%s)\n", keyName(i).c_str());
        std::abort();
      }
    }
    return made;
  }();
  return *p;
}

std::string peerPath() {
  static const std::string path = [] {
    const std::string p = folder() + "/settings.json";
    json all = json::object();
    for (int i = 0; i < kKeys; ++i) all[keyName(i)] = settingValue(i);
    std::ofstream(p) << all.dump();
    return p;
  }();
  return path;
}

json readPeer() {
  std::ifstream in(peerPath(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return json::parse(ss.str());
}

void writePeer(const json& all) {
  const std::string tmp = peerPath() + ".tmp";
  const std::string text = all.dump();
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  std::rename(tmp.c_str(), peerPath().c_str());
}

void BM_PluginGet(benchmark::State& state) {
  auto& p = plugin();
  auto webview = std::make_shared<pel::test::FakeWebview>();
  pel::test::FakeRequest request;
  int i = 0;
  for (auto _ : state) {
    const int k = (i++ * 7919) % kKeys;
    auto reply = p.invoke("get", webview.get(), nullptr, &request,
                          {{"key", keyName(k)}, {"type", settingType(k)}});
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_PluginGet)->Iterations(10000)->Unit(benchmark::kMicrosecond);

void BM_PeerGet(benchmark::State& state) {
  peerPath();
  int i = 0;
  for (auto _ : state) {
    const int k = (i++ * 7919) % kKeys;
    const json all = readPeer();
    auto it = all.find(keyName(k));
    std::string text = it == all.end() ? "false" : it->dump();
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_PeerGet)->Iterations(10000)->Unit(benchmark::kMicrosecond);

void BM_PluginSet(benchmark::State& state) {
  auto& p = plugin();
  auto webview = std::make_shared<pel::test::FakeWebview>();
  pel::test::FakeRequest request;
  int i = 0;
  for (auto _ : state) {
    const int k = (i * 7919) % kKeys;
    auto reply = p.invoke("set", webview.get(), nullptr, &request,
                          {{"key", keyName(k)}, {"type", "integer"}, {"value", ++i}});
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_PluginSet)->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_PeerSet(benchmark::State& state) {
  peerPath();
  int i = 0;
  for (auto _ : state) {
    const int k = (i * 7919) % kKeys;
    json all = readPeer();
    all[keyName(k)] = ++i;
    writePeer(all);
  }
}
BENCHMARK(BM_PeerSet)->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
