#include "desk/icons.h"

#include <map>
#include <memory>
#include <mutex>

#include "desk/detail/codec.h"
#include "desk/gfx/graphics.h"
#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "desk/thread.h"

namespace desk {

namespace {

struct Icon {
  std::shared_ptr<gfx::Bitmap> bitmap;
  bool shared = false;
};

struct Icons {
  std::mutex mutex;
  std::map<uintptr_t, Icon> icons;
  uintptr_t next = 0x20000;
  std::vector<std::pair<int, gfx::Bitmap>> executable;
  std::map<std::pair<int, std::pair<int, int>>, uintptr_t> sharedByResource;
  uintptr_t applicationIcon = 0;
};

Icons& icons() {
  static Icons* i = new Icons();
  return *i;
}

uintptr_t addIcon(Icons& s, gfx::Bitmap bitmap, bool shared) {
  const uintptr_t h = s.next;
  s.next += 4;
  s.icons[h] = Icon{std::make_shared<gfx::Bitmap>(std::move(bitmap)), shared};
  return h;
}

gfx::Bitmap scaled(const gfx::Bitmap& source, int cx, int cy) {
  if ((cx <= 0 && cy <= 0) || (cx == source.width() && cy == source.height())) return source;
  if (cx <= 0) cx = source.width();
  if (cy <= 0) cy = source.height();
  auto out = gfx::Bitmap::make(cx, cy);
  if (!out) return source;
  {
    gfx::Graphics g(*out);
    g.drawImage(source, {0, 0, double(cx), double(cy)}, 1.0, true);
  }
  return *out;
}

}  // namespace

HICON createIcon(const gfx::Bitmap& bitmap) {
  if (bitmap.empty()) return nullptr;
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  return reinterpret_cast<HICON>(addIcon(s, bitmap, false));
}

HICON CreateIconIndirect(const ICONINFO* info) {
  const gfx::Bitmap* color = info ? bitmapOf(info->hbmColor) : nullptr;
  if (color == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createIcon(*color);
}

const gfx::Bitmap* iconBitmap(HICON icon) {
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.icons.find(reinterpret_cast<uintptr_t>(icon));
  return it == s.icons.end() ? nullptr : it->second.bitmap.get();
}

BOOL GetIconInfo(HICON icon, ICONINFO* info) {
  if (info == nullptr) return 0;
  std::shared_ptr<gfx::Bitmap> bitmap;
  {
    Icons& s = icons();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.icons.find(reinterpret_cast<uintptr_t>(icon));
    if (it == s.icons.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    bitmap = it->second.bitmap;
  }
  *info = ICONINFO{};
  info->xHotspot = static_cast<DWORD>(bitmap->width() / 2);
  info->yHotspot = static_cast<DWORD>(bitmap->height() / 2);
  info->hbmColor = createBitmapHandle(*bitmap);
  info->hbmMask = createBitmapHandle(*gfx::Bitmap::make(bitmap->width(), bitmap->height()));
  return 1;
}

BOOL DestroyIcon(HICON icon) {
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.icons.find(reinterpret_cast<uintptr_t>(icon));
  if (it == s.icons.end() || it->second.shared) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  s.icons.erase(it);
  return 1;
}

void setExecutableIcons(std::vector<std::pair<int, gfx::Bitmap>> list) {
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.executable = std::move(list);
}

HANDLE LoadImageW(HINSTANCE, const char16_t* name, UINT type, int cx, int cy, UINT flags) {
  const uintptr_t number = reinterpret_cast<uintptr_t>(name);
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  const gfx::Bitmap* found = nullptr;
  if (type == IMAGE_ICON && number < 0x10000) {
    for (const auto& [id, bitmap] : s.executable) {
      if (static_cast<uintptr_t>(id) == number) {
        found = &bitmap;
        break;
      }
    }
  }
  if (found == nullptr) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  const auto key = std::make_pair(static_cast<int>(number), std::make_pair(cx, cy));
  if (flags & LR_SHARED) {
    auto it = s.sharedByResource.find(key);
    if (it != s.sharedByResource.end()) return reinterpret_cast<HANDLE>(it->second);
  }
  const uintptr_t h = addIcon(s, scaled(*found, cx, cy), (flags & LR_SHARED) != 0);
  if (flags & LR_SHARED) s.sharedByResource[key] = h;
  return reinterpret_cast<HANDLE>(h);
}

HICON LoadIconW(HINSTANCE module, const char16_t* name) {
  if (module == nullptr && name == IDI_APPLICATION) {
    Icons& s = icons();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.applicationIcon == 0) {
      // A plain grey window picture.
      auto b = gfx::Bitmap::make(32, 32, gfx::argb(255, 160, 160, 160));
      for (int x = 0; x < 32; ++x) {
        for (int y = 0; y < 6; ++y) b->setPixel(x, y, gfx::argb(255, 40, 90, 160));
      }
      s.applicationIcon = addIcon(s, *b, true);
    }
    return reinterpret_cast<HICON>(s.applicationIcon);
  }
  return static_cast<HICON>(LoadImageW(module, name, IMAGE_ICON, 0, 0, LR_SHARED));
}

UINT ExtractIconExW(const char16_t* file, int index, HICON* large, HICON* small, UINT count) {
  if (file == nullptr || detail::utf16ToUtf8(file) != executablePath()) return 0;
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index == -1 && large == nullptr && small == nullptr) {
    return static_cast<UINT>(s.executable.size());
  }
  if (index < 0) return 0;
  UINT made = 0;
  for (UINT k = 0; k < count && static_cast<size_t>(index) + k < s.executable.size(); ++k) {
    const gfx::Bitmap& b = s.executable[static_cast<size_t>(index) + k].second;
    if (large) large[k] = reinterpret_cast<HICON>(addIcon(s, b, false));
    if (small) small[k] = reinterpret_cast<HICON>(addIcon(s, scaled(b, 16, 16), false));
    ++made;
  }
  return made;
}

namespace test {

size_t liveIconCount() {
  Icons& s = icons();
  std::lock_guard<std::mutex> lock(s.mutex);
  size_t n = 0;
  for (const auto& [h, icon] : s.icons) n += icon.shared ? 0 : 1;
  return n;
}

}  // namespace test

}  // namespace desk
