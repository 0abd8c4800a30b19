// A fake codec library: the exports of librastcore.so answering what the test scripted, and
// logging every call. See fake_rastcore.h.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>

#include "rastcore/rastcore_api.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

struct Answer {
  int32_t result = 0;
  std::string bytes;
  std::string error;
};

std::mutex g_mutex;
std::map<std::string, Answer> g_answers;
std::string g_calls;
std::string g_callsCopy;
int32_t g_outstanding = 0;
int32_t g_quitPolls = 0;
int32_t g_quitPauseMs = 0;
thread_local std::string t_error;

std::string text(const char* s) { return s ? std::string("\"") + s + "\"" : "null"; }

// Logs the call and returns the scripted answer, setting the last error.
Answer call(const char* name, const std::string& args) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls += name;
  if (!args.empty()) g_calls += " " + args;
  g_calls += "\n";
  auto it = g_answers.find(name);
  if (it == g_answers.end()) {
    t_error = std::string("fake: ") + name + " not scripted";
    return Answer{};
  }
  t_error = it->second.error;
  return it->second;
}

unsigned char* buffer(const Answer& a, int32_t* length) {
  if (length) *length = 0;
  if (!a.result) return nullptr;
  auto* p = static_cast<unsigned char*>(malloc(a.bytes.size() + 1));
  memcpy(p, a.bytes.data(), a.bytes.size());
  p[a.bytes.size()] = 0;
  if (length) *length = int32_t(a.bytes.size());
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_outstanding;
  return p;
}

template <typename... T>
std::string args(const T&... parts) {
  std::ostringstream s;
  (s << ... << parts);
  return s.str();
}

}  // namespace

FAKE_API void fake_rastcore_reset(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_answers.clear();
  g_calls.clear();
  g_outstanding = 0;
  g_quitPolls = 0;
  g_quitPauseMs = 0;
}

FAKE_API void fake_rastcore_script(const char* name, int32_t result, const void* bytes,
                                   int32_t length, const char* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Answer& a = g_answers[name];
  a.result = result;
  a.bytes.assign(static_cast<const char*>(bytes), size_t(length > 0 ? length : 0));
  a.error = error ? error : "";
}

FAKE_API const char* fake_rastcore_calls(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_callsCopy = g_calls;
  return g_callsCopy.c_str();
}

FAKE_API int32_t fake_rastcore_outstanding(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_outstanding;
}

FAKE_API void fake_rastcore_quit_polls(int32_t n) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_quitPolls = n;
}

FAKE_API void fake_rastcore_quit_pause_ms(int32_t ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_quitPauseMs = ms;
}

extern "C" {

void c_set_max_imagesize(int32_t limit) { call("c_set_max_imagesize", args("limit=", limit)); }

const char* c_get_lasterror(void) { return t_error.c_str(); }

void c_free_resource(void* p) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls += "c_free_resource\n";
    if (p) --g_outstanding;
  }
  free(p);
}

char* c_get_image_info(const char* path, int32_t* length, int32_t subimage, int32_t miplevel) {
  Answer a = call("c_get_image_info", args("path=", text(path), " subimage=", subimage,
                                           " miplevel=", miplevel));
  return reinterpret_cast<char*>(buffer(a, length));
}

unsigned char* c_read_thumbnail(const char* path, int32_t* length, int32_t* width,
                                int32_t* height, int32_t option, int32_t subimage, int32_t level) {
  Answer a = call("c_read_thumbnail",
                  args("path=", text(path), " width=", width ? *width : -1, " height=",
                       height ? *height : -1, " option=", option, " subimage=", subimage,
                       " level=", level));
  return buffer(a, length);
}

unsigned char* c_read_image_rgba(const char* path, int32_t* length, int32_t subimage,
                                 int32_t miplevel, int32_t width, int32_t height,
                                 bool fixOrientation) {
  Answer a = call("c_read_image_rgba",
                  args("path=", text(path), " subimage=", subimage, " miplevel=", miplevel,
                       " width=", width, " height=", height, " fixOrientation=",
                       int(fixOrientation)));
  return buffer(a, length);
}

char* c_check_format_supports(const char* path, const char* features, bool reading) {
  Answer a = call("c_check_format_supports", args("path=", text(path), " features=",
                                                  text(features), " reading=", int(reading)));
  return reinterpret_cast<char*>(buffer(a, nullptr));
}

bool c_output_image(const char* path, const char* spec, const unsigned char* data, int32_t length,
                    const char* config) {
  (void)data;
  return call("c_output_image", args("path=", text(path), " spec=", text(spec),
                                     " length=", length, " config=", text(config)))
             .result != 0;
}

unsigned char* c_encode_image(const char* extension, const char* spec, const unsigned char* data,
                              int32_t length, int32_t* outLength) {
  (void)data;
  Answer a = call("c_encode_image", args("extension=", text(extension), " spec=", text(spec),
                                         " length=", length));
  return buffer(a, outLength);
}

void* c_open_image_forwrite(const char* path, int32_t subimages, const char** specs,
                            int32_t specCount) {
  std::string list;
  for (int32_t i = 0; specs && i < specCount; ++i) list += (i ? "," : "") + text(specs[i]);
  Answer a = call("c_open_image_forwrite", args("path=", text(path), " subimages=", subimages,
                                                " specs=[", list, "]"));
  return a.result ? malloc(1) : nullptr;
}

bool c_write_image_subimage(void* handle, int32_t subimage, const char* spec,
                            const unsigned char* data, int32_t length) {
  (void)data;
  return call("c_write_image_subimage", args("handle=", handle ? "set" : "null", " subimage=",
                                             subimage, " spec=", text(spec), " length=", length))
             .result != 0;
}

bool c_close_image_forwrite(void* handle) {
  bool ok = call("c_close_image_forwrite", args("handle=", handle ? "set" : "null")).result != 0;
  free(handle);
  return ok;
}

bool c_copy_image_to(const char* src, const char* dst, const char* config, uint64_t configLength,
                     rastcore_quit_fn shouldQuit, const char* callbackArgument) {
  Answer a = call("c_copy_image_to",
                  args("src=", text(src), " dst=", text(dst), " config=",
                       config ? text(std::string(config, configLength).c_str()) : "null",
                       " configLength=", configLength, " callback=", shouldQuit ? "set" : "null",
                       " argument=", text(callbackArgument)));
  int32_t polls, pauseMs;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    polls = g_quitPolls;
    pauseMs = g_quitPauseMs;
  }
  for (int32_t i = 0; shouldQuit && i < polls; ++i) {
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (shouldQuit(callbackArgument)) {
      t_error = "cancelled";
      return false;
    }
  }
  return a.result != 0;
}

bool c_write_indexed_png_file(const char* dst, int32_t width, int32_t height, int32_t colors,
                              const unsigned char* palette, int32_t paletteLength,
                              const unsigned char* pixels, int32_t pixelLength) {
  return call("c_write_indexed_png_file",
              args("dst=", text(dst), " width=", width, " height=", height, " colors=", colors,
                   " palette=", palette ? "set" : "null", " paletteLength=", paletteLength,
                   " pixels=", pixels ? "set" : "null", " pixelLength=", pixelLength))
             .result != 0;
}

int32_t c_get_image_count(const char* path) {
  return call("c_get_image_count", args("path=", text(path))).result;
}

#ifndef FAKE_RASTCORE_WITHOUT_TRANSFORM
bool c_transform(const char* source, const char* dest, int32_t transform) {
  return call("c_transform", args("source=", text(source), " dest=", text(dest), " transform=",
                                  transform))
             .result != 0;
}
#endif

bool c_modify_orientation(const char* source, const char* dest, int32_t orientation) {
  return call("c_modify_orientation", args("source=", text(source), " dest=", text(dest),
                                           " orientation=", orientation))
             .result != 0;
}

bool c_modify_jpeg_orientation(const char* path, int32_t orientation) {
  return call("c_modify_jpeg_orientation",
              args("path=", text(path), " orientation=", orientation))
             .result != 0;
}

}  // extern "C"
