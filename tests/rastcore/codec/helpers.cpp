#include "helpers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace rctest {

Image gradient(int w, int h, int channels) {
  Image img{w, h, channels, Bytes(size_t(w) * h * channels)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char* p = img.at(x, y);
      const unsigned char v[4] = {uint8_t(x * 255 / std::max(1, w - 1)),
                                  uint8_t(y * 255 / std::max(1, h - 1)),
                                  uint8_t((x * 7 + y * 13) % 256), uint8_t(128 + (x + y) % 128)};
      for (int c = 0; c < channels; ++c) p[c] = v[c];
    }
  return img;
}

Image blocks(int w, int h, int cols, int rows) {
  static const unsigned char kColours[][3] = {{230, 20, 20}, {20, 200, 20}, {20, 20, 230},
                                              {230, 230, 20}, {20, 220, 220}, {220, 20, 220},
                                              {250, 250, 250}, {10, 10, 10}, {128, 64, 0}};
  Image img{w, h, 4, Bytes(size_t(w) * h * 4)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int k = (y * rows / h) * cols + (x * cols / w);
      unsigned char* p = img.at(x, y);
      for (int c = 0; c < 3; ++c) p[c] = kColours[k % 9][c];
      p[3] = 255;
    }
  return img;
}

std::string specOf(const Image& img, const nlohmann::json& attributes) {
  nlohmann::json j = {{"width", img.width}, {"height", img.height}, {"nchannels", img.channels},
                      {"format", "uint8"}};
  if (!attributes.is_null()) j["attributes"] = attributes;
  return j.dump();
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/rastcore-test-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) abort();
  path_ = name.data();
}

TempDir::~TempDir() {
  for (const auto& e : entries()) unlink(file(e).c_str());
  rmdir(path_.c_str());
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(path_.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

std::string lastError() { return c_get_lasterror(); }

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

Bytes readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void save(const std::string& path, const Image& img, const nlohmann::json& attributes,
          const char* config) {
  ASSERT_TRUE(c_output_image(path.c_str(), specOf(img, attributes).c_str(), img.data.data(),
                             int32_t(img.data.size()), config))
      << path << ": " << lastError();
}

Image readRgba(const std::string& path, int subimage, bool fix, int w, int h, std::string* error) {
  int32_t len = -1;
  unsigned char* buf = c_read_image_rgba(path.c_str(), &len, subimage, 0, w, h, fix);
  Image img;
  if (!buf) {
    if (error) *error = lastError();
    EXPECT_EQ(len, 0);
    return img;
  }
  nlohmann::json j = info(path, subimage);
  if (w > 0 && h > 0) {
    img.width = w;
    img.height = h;
  } else if (w > 0 || h > 0) {
    int ow = fix ? j["orientedWidth"].get<int>() : j["width"].get<int>();
    int oh = fix ? j["orientedHeight"].get<int>() : j["height"].get<int>();
    img.width = w > 0 ? w : int(std::lround(double(ow) * h / oh));
    img.height = h > 0 ? h : int(std::lround(double(oh) * w / ow));
  } else {
    img.width = fix ? j["orientedWidth"].get<int>() : j["width"].get<int>();
    img.height = fix ? j["orientedHeight"].get<int>() : j["height"].get<int>();
  }
  EXPECT_EQ(len, img.width * img.height * 4) << path;
  img.data.assign(buf, buf + len);
  c_free_resource(buf);
  return img;
}

nlohmann::json info(const std::string& path, int subimage, int miplevel) {
  int32_t len = -1;
  char* text = c_get_image_info(path.c_str(), &len, subimage, miplevel);
  if (!text) return nullptr;
  nlohmann::json j = nlohmann::json::parse(std::string(text, size_t(len)));
  c_free_resource(text);
  return j;
}

Bytes thumbnail(const std::string& path, int& w, int& h, int option) {
  int32_t len = -1, tw = w, th = h;
  unsigned char* buf = c_read_thumbnail(path.c_str(), &len, &tw, &th, option, 0, 0);
  if (!buf) {
    ADD_FAILURE() << path << ": " << lastError();
    return {};
  }
  Bytes bytes(buf, buf + len);
  c_free_resource(buf);
  w = tw;
  h = th;
  return bytes;
}

int maxDiff(const Image& a, const Image& b, int channels) {
  if (a.width != b.width || a.height != b.height) return 1000;
  int worst = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int c = 0; c < channels; ++c)
        worst = std::max(worst, std::abs(int(a.at(x, y)[c]) - int(b.at(x, y)[c])));
  return worst;
}

double meanDiff(const Image& a, const Image& b, int channels) {
  if (a.width != b.width || a.height != b.height) return 1000;
  double sum = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int c = 0; c < channels; ++c) sum += std::abs(int(a.at(x, y)[c]) - int(b.at(x, y)[c]));
  return sum / (double(a.width) * a.height * channels);
}

}  // namespace rctest
