// Small images, temporary folders and calls into the codec library for its tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rastcore/rastcore_api.h"

namespace rctest {

using Bytes = std::vector<unsigned char>;

struct Image {
  int width = 0;
  int height = 0;
  int channels = 4;
  Bytes data;
  unsigned char* at(int x, int y) { return &data[(size_t(y) * width + x) * channels]; }
  const unsigned char* at(int x, int y) const { return &data[(size_t(y) * width + x) * channels]; }
};

// A smooth gradient with varying alpha: every pixel differs from its neighbours.
Image gradient(int w, int h, int channels = 4);
// Solid blocks of distinct colours, `cols` x `rows` of them: survives lossy compression.
Image blocks(int w, int h, int cols, int rows);
std::string specOf(const Image& img, const nlohmann::json& attributes = nullptr);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> entries() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string lastError();
bool exists(const std::string& path);
Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);

// Writes `img` as `path` (format from the extension); fails the test on error.
void save(const std::string& path, const Image& img, const nlohmann::json& attributes = nullptr,
          const char* config = nullptr);
// c_read_image_rgba; an empty image (width 0) with the error in `error` on failure.
Image readRgba(const std::string& path, int subimage = 0, bool fix = false, int w = 0, int h = 0,
               std::string* error = nullptr);
// c_get_image_info parsed; null on failure.
nlohmann::json info(const std::string& path, int subimage = 0, int miplevel = 0);
// A thumbnail's bytes, with the size written back.
Bytes thumbnail(const std::string& path, int& w, int& h, int option);

// Largest channel difference over the first `channels` channels, and the mean one.
int maxDiff(const Image& a, const Image& b, int channels);
double meanDiff(const Image& a, const Image& b, int channels);

}  // namespace rctest
