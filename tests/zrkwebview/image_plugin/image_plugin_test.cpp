#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/fake_webview.h"
#include "support/http_fakes.h"
#include "zrkwebview/browser/src/http-plugins/image/image-plugin.h"
#include "zrkwebview/browser/src/http-plugins/image/image-resource.h"
#include "zrkwebview/browser/src/http/http-responses.h"
#include "zrkwebview/browser/src/resource.h"

namespace zrk::plugin {
namespace {

using nlohmann::json;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Encodes a w x h image (opaque red left half, half-transparent blue right half) as `type`.
Bytes encode(const char* type, int w, int h) {
  GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, h);
  guchar* px = gdk_pixbuf_get_pixels(p);
  const int stride = gdk_pixbuf_get_rowstride(p);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      guchar* q = px + y * stride + x * 4;
      q[0] = x < w / 2 ? 255 : 0;
      q[1] = 0;
      q[2] = x < w / 2 ? 0 : 255;
      q[3] = x < w / 2 ? 255 : 128;
    }
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  const bool ok = gdk_pixbuf_save_to_buffer(p, &buffer, &size, type, &error, nullptr);
  g_object_unref(p);
  if (!ok) {
    ADD_FAILURE() << type << ": " << (error ? error->message : "?");
    if (error) g_error_free(error);
    return {};
  }
  Bytes out(buffer, buffer + size);
  g_free(buffer);
  return out;
}

class Files {
 public:
  Files() {
    dir_ = fs::temp_directory_path() / ("pel_image_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  ~Files() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

 private:
  fs::path dir_;
};

const Bytes kTwoPixels = {255, 0, 0, 255, 0, 0, 255, 128};

class ImageResources : public ::testing::Test {
 protected:
  std::shared_ptr<pel::test::FakeWebview> webview = std::make_shared<pel::test::FakeWebview>();
  Files files;
  std::shared_ptr<ImageResource> image(uint32_t rid) {
    return std::dynamic_pointer_cast<ImageResource>(webview->resourceManager()->find(rid));
  }
  int count() {
    int n = 0;
    webview->resourceManager()->forEach([&n](const auto&, bool&) { ++n; });
    return n;
  }
};

TEST_F(ImageResources, PixelsBackgroundsAndKinds) {
  // Named and icon images keep the straight alpha; a bitmap is flattened over its background.
  struct Case {
    const char* what;
    int kind;  // 0 named, 1 icon, 2 bitmap
    int32_t background;
    desk::gfx::Argb first, second;
  };
  const Case cases[] = {
      {"named", 0, -1, 0xFFFF0000, 0x800000FF},
      {"icon", 1, -1, 0xFFFF0000, 0x800000FF},
      {"bitmap over white (no background)", 2, -1, 0xFFFF0000, 0xFF7F7FFF},
      {"bitmap over blue", 2, 0x0000FF, 0xFFFF0000, 0xFF0000FF},
      {"high byte ignored", 2, 0x7F0000FF, 0xFFFF0000, 0xFF0000FF},
      {"bitmap over black", 2, 0, 0xFFFF0000, 0xFF000080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t rid =
        c.kind == 0 ? createNamedImageFromRgba(webview.get(), kTwoPixels, 2, 1, "a")
                    : createImageFromRgba(webview.get(), kTwoPixels, 2, 1, c.kind, c.background);
    ASSERT_NE(rid, 0u);
    auto bitmap = image(rid)->image();
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width(), 2);
    EXPECT_EQ(bitmap->height(), 1);
    EXPECT_EQ(bitmap->pixel(0, 0), c.first);
    EXPECT_EQ(bitmap->pixel(1, 0), c.second);
  }
  EXPECT_EQ(backgroundArgb(-1), 0x00FFFFFFu);
  EXPECT_EQ(backgroundArgb(255), 0xFF0000FFu);
  EXPECT_EQ(backgroundArgb(0x120000FF), backgroundArgb(0x340000FF));
}

TEST_F(ImageResources, FilesIconsBitmapsAndReuseByPath) {
  const std::string ico = files.write("app.ico", encode("ico", 32, 32));
  const std::string png1 = files.write("one.png", encode("png", 20, 10));
  const std::string png2 = files.write("two.png", encode("png", 20, 10));
  float w = 0, h = 0;

  const uint32_t icon = loadImageResource(webview.get(), ico, 1, -1);
  ASSERT_NE(icon, 0u);
  EXPECT_TRUE(getImageSize(webview.get(), icon, w, h));
  EXPECT_EQ(w, 64.0f);  // icon files always come in at 64 x 64
  EXPECT_EQ(h, 64.0f);

  const uint32_t asIcon = loadImageResource(webview.get(), png1, 1, -1);
  const uint32_t asBitmap = loadImageResource(webview.get(), png2, 2, -1);
  ASSERT_NE(asIcon, 0u);
  ASSERT_NE(asBitmap, 0u);
  EXPECT_EQ(getImageType(webview.get(), asIcon), 1);
  EXPECT_EQ(getImageType(webview.get(), asBitmap), 2);
  for (uint32_t rid : {asIcon, asBitmap}) {
    EXPECT_TRUE(getImageSize(webview.get(), rid, w, h));
    EXPECT_EQ(w, 20.0f);
    EXPECT_EQ(h, 10.0f);
  }
  EXPECT_EQ(image(asBitmap)->image()->pixel(19, 0), 0xFF7F7FFFu);  // flattened over white

  // Reuse by path, whatever the type asked for now: the file is not read again.
  const int before = count();
  fs::remove(png1);
  EXPECT_EQ(loadImageResource(webview.get(), png1, 1, -1), asIcon);
  EXPECT_EQ(loadImageResource(webview.get(), png1, 2, -1), asIcon);
  EXPECT_EQ(getImageType(webview.get(), asIcon), 1);
  EXPECT_EQ(count(), before);

  // Unsupported types and missing files register nothing.
  EXPECT_EQ(loadImageResource(webview.get(), png2 + ".missing", 1, -1), 0u);
  EXPECT_EQ(loadImageResource(webview.get(), ico + "x", 3, -1), 0u);
  EXPECT_EQ(loadImageResource(webview.get(), ico + "x", 4, -1), 0u);
  EXPECT_EQ(count(), before);

  // Closed, the path is loaded afresh; a holder of the image keeps it.
  auto kept = image(asBitmap)->image();
  webview->resourceManager()->close(asBitmap);
  EXPECT_FALSE(getImageSize(webview.get(), asBitmap, w, h));
  EXPECT_EQ(kept->width(), 20);
  const uint32_t again = loadImageResource(webview.get(), png2, 2, -1);
  EXPECT_NE(again, 0u);
  EXPECT_NE(again, asBitmap);
}

TEST_F(ImageResources, LimitsAndBadBytesAnswerZeroAndConsumeNoRid) {
  const uint32_t first = webview->resourceManager()->nextId();
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 0, 1, 1, -1), 0u);
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 2, 0, 1, -1), 0u);
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 3, 1, 1, -1), 0u);        // too short
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 0x40000000, 2, 2, -1), 0u);  // 2^33 bytes
  EXPECT_EQ(createNamedImageFromRgba(webview.get(), kTwoPixels, 65536, 65536, "big"), 0u);
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 2, 1, 3, -1), 0u);  // png
  EXPECT_EQ(createImageFromRgba(webview.get(), kTwoPixels, 2, 1, 4, -1), 0u);  // native
  EXPECT_EQ(createImageFromBytes(webview.get(), {}, 1, -1), 0u);
  EXPECT_EQ(createNamedImageFromBytes(webview.get(), {}, "x"), 0u);

  // Corrupt and truncated files and bytes: 0, never a crash.
  Bytes png = encode("png", 20, 10);
  Bytes truncated(png.begin(), png.begin() + static_cast<long>(png.size() / 2));
  Bytes garbage = png;
  for (size_t i = 16; i < garbage.size(); i += 7) garbage[i] ^= 0x5A;
  for (const Bytes& bad : {truncated, garbage, Bytes{'G', 'I', 'F', '8', '9', 'a'}}) {
    EXPECT_EQ(createImageFromBytes(webview.get(), bad, 2, -1), 0u);
    EXPECT_EQ(loadImageResource(webview.get(), files.write("bad", bad), 1, -1), 0u);
    fs::remove(files.write("bad", {}));
  }
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(webview->resourceManager()->nextId(), first + 1);

  // Extra bytes beyond width x height x 4 are ignored.
  Bytes longer = kTwoPixels;
  longer.resize(100, 7);
  EXPECT_NE(createImageFromRgba(webview.get(), longer, 2, 1, 1, -1), 0u);
}

TEST_F(ImageResources, NamedLookupsAndQueries) {
  const uint32_t low = createNamedImageFromRgba(webview.get(), kTwoPixels, 2, 1, "a");
  const uint32_t high = createNamedImageFromBytes(webview.get(), encode("png", 4, 2), "a");
  ASSERT_NE(low, 0u);
  ASSERT_NE(high, 0u);
  EXPECT_EQ(findNamedImage(webview.get(), "a")->id(), low);
  webview->resourceManager()->close(low);
  EXPECT_EQ(findNamedImage(webview.get(), "a")->id(), high);
  EXPECT_EQ(findNamedImage(webview.get(), "b"), nullptr);

  float w = -1, h = -1;
  EXPECT_FALSE(getImageSize(webview.get(), high, w, h));  // named images are not sized
  EXPECT_EQ(w, -1);
  EXPECT_EQ(getImageType(webview.get(), high), 0);
  EXPECT_EQ(getImageType(webview.get(), 424242), 0);
  EXPECT_EQ(getImageRgba(webview.get(), high), nullptr);

  // Kind tests: a named image is an image but neither icon nor bitmap.
  auto named = webview->resourceManager()->find(high);
  EXPECT_TRUE(named->isKindOfClass(&ImageResource::classDescriptor));
  EXPECT_FALSE(named->isKindOfClass(&BmpResource::classDescriptor));
  EXPECT_FALSE(named->isKindOfClass(&IcoResource::classDescriptor));
  EXPECT_EQ(parseImageType("png"), 3);
  EXPECT_EQ(parseImageType("PNG"), 0);
  EXPECT_EQ(parseImageType("native"), 4);
}

// ---- the plugin ----------------------------------------------------------------------------

struct Reply {
  bool none = false;
  int status = 0;
  std::string text;
  std::string mime;
};

Reply call(Webview* webview, const std::string& command, const json& payload) {
  static ImagePlugin plugin;
  pel::test::FakeRequest request("POST", "https://pelma/plugin?name=image");
  auto result = plugin.invoke(command, webview, nullptr, &request, payload);
  Reply reply;
  if (!result) {
    reply.none = true;
  } else if (auto mime = std::dynamic_pointer_cast<http::HttpMimeResponse>(result)) {
    reply.status = mime->status();
    reply.text = mime->body();
    reply.mime = mime->mimeType();
  } else if (auto status = std::dynamic_pointer_cast<http::HttpStatusResponse>(result)) {
    reply.status = status->status();
    reply.text = status->statusMessage();
  }
  return reply;
}

TEST(ImagePlugin, CommandsAnswerStatusTextAndBody) {
  auto webview = std::make_shared<pel::test::FakeWebview>();
  Webview* w = webview.get();
  const json pixels = {{"width", 2}, {"height", 1}, {"rgba", {255, 0, 0, 255, 0, 0, 255, 128}}};
  auto with = [&pixels](json extra) {
    json p = pixels;
    p.update(extra);
    return p;
  };

  const Reply icon = call(w, "new", pixels);
  ASSERT_EQ(icon.status, 200);
  EXPECT_EQ(icon.mime, "application/json");
  const json rid = json::parse(icon.text);
  EXPECT_EQ(call(w, "type", {{"rid", rid}}).text, "ico");
  const Reply size = call(w, "size", {{"rid", rid}});
  EXPECT_EQ(size.text, R"({"height":1.0,"width":2.0})");
  EXPECT_EQ(size.mime, "application/json");
  EXPECT_EQ(call(w, "type", {{"rid", json::parse(call(w, "new", with({{"type", "bmp"}})).text)}}).text,
            "bmp");
  const Reply logo = call(w, "new", with({{"name", "logo"}, {"type", "png"}}));
  ASSERT_EQ(logo.status, 200);
  EXPECT_EQ(call(w, "find_byname", {{"name", "logo"}}).text, logo.text);
  EXPECT_EQ(call(w, "find_byname", {{"name", "nobody"}}).text, "0");
  EXPECT_EQ(call(w, "size", {{"rid", json::parse(logo.text)}}).text, "Could not get size of the resource.");
  EXPECT_EQ(call(w, "type", {{"rid", json::parse(logo.text)}}).text, "Could not get type of the resource.");

  struct Case {
    const char* command;
    json payload;
    int status;
    const char* text;
  };
  const Case cases[] = {
      {"new", with({{"type", "png"}}), 400, "Failed to create image"},
      {"new", with({{"type", "native"}}), 400, "Failed to create image"},
      {"new", with({{"width", 0}}), 400, "Invalid payload"},
      {"new", with({{"rgba", json::array()}}), 400, "Invalid payload"},
      {"new", with({{"rgba", nullptr}}), 400, "Invalid payload"},
      {"new", with({{"rgba", "abc"}}), 400, "Invalid rgba data"},
      {"new", with({{"rgba", {{"a", 1}}}}), 400, "Invalid rgba data"},
      {"new", with({{"width", 3}}), 400, "Failed to create image"},  // array too short
      {"new", with({{"width", 65536}, {"height", 65536}}), 400, "Failed to create image"},
      {"from_bytes", {{"bytes", json::array()}}, 400, "Failed to create image"},
      {"from_bytes", {{"bytes", {1, 2, 3}}}, 400, "Failed to create image"},
      {"from_bytes", json::object(), 400, "Invalid bytes data"},
      {"from_path", json::object(), 400, "Invalid path"},
      {"from_path", {{"path", "/nonexistent/x.png"}}, 400, "Failed to create image"},
      {"rgba", {{"rid", rid}}, 400, "Could not get data of the resource."},
      {"rgba", {{"rid", "5"}}, 400, "Invalid resource id"},
      {"size", json::object(), 400, "Invalid resource id"},
      {"type", {{"rid", 1}}, 400, "Could not get type of the resource."},
      {"find_byname", {{"name", 5}}, 400, "Invalid resource name."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.payload.dump());
    const Reply r = call(w, c.command, c.payload);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.text, c.text);
  }
  EXPECT_TRUE(call(w, "resize", json::object()).none);
}

TEST(ImagePlugin, BytesPathsMasksAndElementConversion) {
  auto webview = std::make_shared<pel::test::FakeWebview>();
  Webview* w = webview.get();
  Files files;
  // Elements 256 and -1 become 0 and 255, true becomes 1, a float is truncated.
  const Reply made = call(w, "new", {{"width", 1}, {"height", 1}, {"rgba", {256, -1, true, 254.9}}});
  ASSERT_EQ(made.status, 200);
  auto bitmap = std::dynamic_pointer_cast<ImageResource>(
                    w->resourceManager()->find(json::parse(made.text).get<uint32_t>()))
                    ->image();
  EXPECT_EQ(bitmap->pixel(0, 0), desk::gfx::argb(254, 0, 255, 1));
  // A mask read as unsigned: 0xFF (blue) flattens the half-transparent pixel over blue.
  const Reply masked = call(w, "new", {{"width", 1}, {"height", 1}, {"rgba", {0, 0, 0, 0}}, {"type", "bmp"}, {"mask", 255}});
  EXPECT_EQ(std::dynamic_pointer_cast<ImageResource>(
                w->resourceManager()->find(json::parse(masked.text).get<uint32_t>()))
                ->image()
                ->pixel(0, 0),
            0xFF0000FFu);
  // The JSON type error is not a refusal: it leaves the command.
  EXPECT_THROW(call(w, "new", {{"width", 1}, {"height", 1}, {"rgba", {1, 2, 3, "x"}}}),
               nlohmann::json::type_error);

  const Bytes png = encode("png", 20, 10);
  const json bytes(png);
  const Reply fromBytes = call(w, "from_bytes", {{"bytes", bytes}, {"type", "bmp"}});
  EXPECT_EQ(call(w, "type", {{"rid", json::parse(fromBytes.text)}}).text, "bmp");
  EXPECT_EQ(call(w, "size", {{"rid", json::parse(fromBytes.text)}}).text, R"({"height":10.0,"width":20.0})");
  const Reply named = call(w, "from_bytes", {{"bytes", bytes}, {"name", "pic"}});
  EXPECT_EQ(call(w, "find_byname", {{"name", "pic"}}).text, named.text);

  const std::string path = files.write("p.png", png);
  const Reply once = call(w, "from_path", {{"path", path}});
  ASSERT_EQ(once.status, 200);
  EXPECT_EQ(call(w, "from_path", {{"path", path}, {"type", "bmp"}}).text, once.text);
  EXPECT_EQ(call(w, "type", {{"rid", json::parse(once.text)}}).text, "ico");

  // A webview of another manager does not see these rids.
  auto other = std::make_shared<pel::test::FakeWebview>("other");
  EXPECT_EQ(call(other.get(), "type", {{"rid", json::parse(once.text)}}).text,
            "Could not get type of the resource.");
}

}  // namespace
}  // namespace zrk::plugin
