#include "vesk/strings.h"

#include <time.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "vesk/utf.h"

namespace zrk {

std::string toUtf8(const Vesk::WString& text) {
  std::string out;
  if (!text.empty()) Vesk::utf::utf16ToUtf8(text, out, Vesk::utf::Policy::Strict);
  return out;
}

Vesk::WString toUtf16(const std::string& text) {
  Vesk::WString out;
  if (!text.empty()) Vesk::utf::utf8ToUtf16(text, out, Vesk::utf::Policy::Strict);
  return out;
}

void toLowerInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
}
void toUpperInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
}
std::string toLower(const std::string& text) {
  std::string copy(text);
  toLowerInPlace(copy);
  return copy;
}
std::string toUpper(const std::string& text) {
  std::string copy(text);
  toUpperInPlace(copy);
  return copy;
}

void replaceAll(std::string& text, std::string from, std::string to) {
  if (from.empty()) return;
  for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size()) {
    text.replace(pos, from.size(), to);
  }
}

std::string replaceAllCopy(const std::string& text, const std::string& from, const std::string& to) {
  std::string copy(text);
  replaceAll(copy, from, to);
  return copy;
}

void escapeJsStringInPlace(std::string& text) {
  // Backslashes first: the later steps insert backslashes that must stay single.
  replaceAll(text, "\\", "\\\\");
  replaceAll(text, "\"", "\\\"");
  replaceAll(text, "'", "\\'");
  replaceAll(text, "\n", "\\n");
  replaceAll(text, "\r", "\\r");
  replaceAll(text, "\f", "\\f");
  replaceAll(text, "\xE2\x80\xA8", "\\u2028");
  replaceAll(text, "\xE2\x80\xA9", "\\u2029");
}

std::string escapeJsString(const std::string& text) {
  std::string copy(text);
  escapeJsStringInPlace(copy);
  return copy;
}

namespace {

uint64_t monotonicMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The ids of one tick differ in their random part: within a tick the parts are a random start
// stepped by an odd stride modulo 2^15, a permutation, so the first 32768 are all distinct; the
// 32769th waits for the next tick.
struct UniqueIdState {
  std::mutex mutex;
  std::mt19937 generator{std::random_device{}()};
  uint64_t tick = 0;
  uint32_t usedInTick = 0;
  uint32_t start = 0;
  uint32_t stride = 1;
};

}  // namespace

std::string makeUniqueId(const std::string& prefix) {
  static UniqueIdState state;
  uint64_t tick;
  uint32_t part;
  {
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
      tick = monotonicMilliseconds();
      if (tick != state.tick) {
        state.tick = tick;
        state.usedInTick = 0;
        state.start = state.generator() & 0x7FFF;
        state.stride = (state.generator() & 0x7FFF) | 1;
      }
      if (state.usedInTick < 0x8000) break;
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      lock.lock();
    }
    part = (state.start + state.usedInTick * state.stride) & 0x7FFF;
    ++state.usedInTick;
  }
  return prefix + std::to_string(tick) + "_" + std::to_string(100000 + part);
}

bool checkHResult(HRESULT result, const Vesk::WChar* message, bool showMessage) {
  if (result >= 0) return true;
  if (!showMessage) return false;
  // Without a message box at this level the text goes to standard error.
  std::string text = message && *message ? Vesk::utf::toUtf8(message) : std::string("something wrong");
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  return true;
}

void checkFailure(HRESULT result, const Vesk::WString& message) {
  if (result >= 0) return;
  std::string line = Vesk::utf::toUtf8(message);
  char code[32];
  std::snprintf(code, sizeof code, ": 0x%8x\n", static_cast<uint32_t>(result));
  line += code;
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace zrk
