// Control of the fake codec library (fake_rastcore.cpp) from tests.
//
// The fake offers the codec library's exports (rastcore/rastcore_api.h) plus these:
//   fake_rastcore_reset()         forgets every answer and the call log;
//   fake_rastcore_script(name, result, bytes, length, error)
//                                 the answer of export `name` from now on: for the exports that
//                                 return a buffer, a malloc'd copy of `bytes` (`length` of them,
//                                 even 0) when result is non-zero and null otherwise; for the
//                                 bool exports result != 0; for c_get_image_count the result;
//                                 for c_open_image_forwrite a fresh handle when result != 0.
//                                 `error` becomes c_get_lasterror() after the call (null: "").
//                                 Unscripted exports fail with "fake: <name> not scripted".
//   fake_rastcore_calls()         the call log, one line per call: the export's name and its
//                                 arguments as name=value, separated by spaces;
//   fake_rastcore_outstanding()   buffers handed out and not yet given back;
//   fake_rastcore_quit_polls(n)   c_copy_image_to asks its quit callback up to n times and fails
//                                 with "cancelled" when it answers true;
//   fake_rastcore_quit_pause_ms(ms) and sleeps this long before each of those polls.
//
// FakeRastcore opens the fake at the path a CodecLibrary loads it from (dlopen gives the same
// instance) and calls these. Keep it alive while the script matters: once no one holds the fake
// open, it is unloaded and its script forgotten.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class FakeRastcore {
 public:
  explicit FakeRastcore(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) throw std::runtime_error(std::string("cannot open the fake: ") + dlerror());
  }
  ~FakeRastcore() { dlclose(handle_); }
  FakeRastcore(const FakeRastcore&) = delete;
  FakeRastcore& operator=(const FakeRastcore&) = delete;

  void reset() { fn<void()>("fake_rastcore_reset")(); }
  void script(const std::string& name, int32_t result, const std::string& bytes = "",
              const char* error = nullptr) {
    fn<void(const char*, int32_t, const void*, int32_t, const char*)>("fake_rastcore_script")(
        name.c_str(), result, bytes.data(), int32_t(bytes.size()), error);
  }
  std::string calls() { return fn<const char*()>("fake_rastcore_calls")(); }
  int32_t outstanding() { return fn<int32_t()>("fake_rastcore_outstanding")(); }
  void quitPolls(int32_t n) { fn<void(int32_t)>("fake_rastcore_quit_polls")(n); }
  void quitPauseMs(int32_t ms) { fn<void(int32_t)>("fake_rastcore_quit_pause_ms")(ms); }

 private:
  template <typename F>
  F* fn(const char* name) {
    void* p = dlsym(handle_, name);
    if (!p) throw std::runtime_error(std::string("the fake has no ") + name);
    return reinterpret_cast<F*>(p);
  }
  void* handle_;
};
