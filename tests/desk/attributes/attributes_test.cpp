#include "desk/attributes.h"

#include <gtest/gtest.h>

#include "desk/icons.h"
#include "desk/sysinfo.h"
#include "desk/test_services.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {
namespace {

class AttributesTest : public ::testing::Test {
 protected:
  // The attributes belong to real windows of the layer: a made-up handle is refused.
  static void SetUpTestSuite() {
    WNDCLASSEX wc;
    wc.lpfnWndProc = DefWindowProc;
    wc.lpszClassName = u"AttributesTestWindow";
    RegisterClassEx(&wc);
  }
  void SetUp() override {
    hwnd_ = CreateWindowEx(0, u"AttributesTestWindow", u"attributes", WS_OVERLAPPEDWINDOW, 10, 10,
                           400, 300, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd_, nullptr);
  }
  void TearDown() override {
    test::forgetWindowAttributes(hwnd_);
    test::failDwm(S_OK);
    test::failTaskbarCreation(false);
    DestroyWindow(hwnd_);
  }
  HWND hwnd_ = nullptr;
};

TEST_F(AttributesTest, DwmAttributesAndFrame) {
  BOOL dark = 0xFF;
  EXPECT_EQ(DwmGetWindowAttribute(hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, &dark, 4), S_OK);
  EXPECT_EQ(dark, 0);  // never set: a light frame
  dark = 1;
  EXPECT_EQ(DwmSetWindowAttribute(hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, &dark, sizeof dark), S_OK);
  BOOL back = 0;
  EXPECT_EQ(DwmGetWindowAttribute(hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, &back, 4), S_OK);
  EXPECT_EQ(back, 1);
  const int round = 2;
  EXPECT_EQ(DwmSetWindowAttribute(hwnd_, DWMWA_WINDOW_CORNER_PREFERENCE, &round, 4), S_OK);
  struct Bad {
    HWND hwnd;
    DWORD attribute;
    DWORD size;
    HRESULT expected;
  };
  for (const Bad& b : {Bad{nullptr, DWMWA_USE_IMMERSIVE_DARK_MODE, 4, E_HANDLE},
                       Bad{hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, 2, E_INVALIDARG},
                       Bad{hwnd_, 9999, 4, E_INVALIDARG}}) {
    EXPECT_EQ(DwmSetWindowAttribute(b.hwnd, b.attribute, &dark, b.size), b.expected);
    EXPECT_EQ(DwmGetWindowAttribute(b.hwnd, b.attribute, &back, b.size), b.expected);
  }
  MARGINS margins{2, 2, 2, 2};
  EXPECT_EQ(DwmExtendFrameIntoClientArea(hwnd_, &margins), S_OK);

  // Failing calls change nothing.
  test::failDwm(E_FAIL);
  dark = 0;
  EXPECT_EQ(DwmSetWindowAttribute(hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, &dark, 4), E_FAIL);
  EXPECT_EQ(DwmGetWindowAttribute(hwnd_, DWMWA_USE_IMMERSIVE_DARK_MODE, &back, 4), E_FAIL);
  MARGINS other{9, 9, 9, 9};
  EXPECT_EQ(DwmExtendFrameIntoClientArea(hwnd_, &other), E_FAIL);

  const auto state = test::windowAttributes(hwnd_);
  EXPECT_EQ(state.dwm.at(DWMWA_USE_IMMERSIVE_DARK_MODE), 1u);
  EXPECT_EQ(state.dwm.at(DWMWA_WINDOW_CORNER_PREFERENCE), 2u);
  ASSERT_TRUE(state.frameMargins);
  EXPECT_EQ(state.frameMargins->cyTopHeight, 2);
}

TEST_F(AttributesTest, CaptureExclusionAndFlashing) {
  DWORD affinity = 7;
  EXPECT_TRUE(GetWindowDisplayAffinity(hwnd_, &affinity));
  EXPECT_EQ(affinity, WDA_NONE);
  EXPECT_TRUE(SetWindowDisplayAffinity(hwnd_, WDA_EXCLUDEFROMCAPTURE));
  EXPECT_EQ(test::windowAttributes(hwnd_).affinity, 0x11u);
  EXPECT_FALSE(SetWindowDisplayAffinity(hwnd_, 5));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetWindowDisplayAffinity(hwnd_, WDA_NONE));
  EXPECT_EQ(test::windowAttributes(hwnd_).affinity, 0u);

  struct Step {
    DWORD flags;
    UINT count;
    BOOL returned;  // flashing before the call
    bool flashingAfter;
  };
  const Step steps[] = {
      {FLASHW_ALL | FLASHW_TIMERNOFG, 4294967294u, 0, true},
      {FLASHW_TRAY | FLASHW_TIMERNOFG, 4294967294u, 1, true},
      {FLASHW_STOP, 0, 1, false},
      {FLASHW_STOP, 0, 0, false},
  };
  for (const Step& s : steps) {
    FLASHWINFO info;
    info.hwnd = hwnd_;
    info.dwFlags = s.flags;
    info.uCount = s.count;
    EXPECT_EQ(FlashWindowEx(&info), s.returned);
    const auto state = test::windowAttributes(hwnd_);
    ASSERT_EQ(state.flash.has_value(), s.flashingAfter);
    if (s.flashingAfter) {
      EXPECT_EQ(state.flash->flags, s.flags);
      EXPECT_EQ(state.flash->count, s.count);
    }
  }
  EXPECT_EQ(sizeof(FLASHWINFO), 32u);
  FLASHWINFO bad;
  bad.cbSize = 24;
  bad.hwnd = hwnd_;
  EXPECT_FALSE(FlashWindowEx(&bad));
}

TEST_F(AttributesTest, TaskbarProgress) {
  ITaskbarList3* list = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                             reinterpret_cast<void**>(&list)),
            S_OK);
  ASSERT_EQ(list->HrInit(), S_OK);
  // A value while no progress shows switches the button to normal progress.
  EXPECT_EQ(list->SetProgressValue(hwnd_, 40, 100), S_OK);
  auto state = test::windowAttributes(hwnd_);
  EXPECT_EQ(state.progressState, TBPF_NORMAL);
  EXPECT_EQ(state.progressCompleted, 40u);
  EXPECT_EQ(list->SetProgressState(hwnd_, TBPF_PAUSED), S_OK);
  EXPECT_EQ(list->SetProgressValue(hwnd_, 250, 100), S_OK);  // more than the total: the total
  EXPECT_EQ(list->SetProgressValue(hwnd_, 1, 0), E_INVALIDARG);
  EXPECT_EQ(list->SetProgressState(hwnd_, static_cast<TBPFLAG>(3)), E_INVALIDARG);
  state = test::windowAttributes(hwnd_);
  EXPECT_EQ(state.progressState, TBPF_PAUSED);
  EXPECT_EQ(state.progressCompleted, 100u);
  EXPECT_EQ(list->SetProgressState(hwnd_, TBPF_NOPROGRESS), S_OK);
  state = test::windowAttributes(hwnd_);
  // The switch to normal progress shows in the log as a state change of its own.
  EXPECT_EQ(state.progressLog,
            (std::vector<std::string>{"state 2", "value 40/100", "state 8", "value 100/100", "state 0"}));
  EXPECT_EQ(list->Release(), 0u);

  test::failTaskbarCreation(true);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  test::failTaskbarCreation(false);
  EXPECT_EQ(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, CLSID_TaskbarList, &object),
            E_NOINTERFACE);
}

TEST_F(AttributesTest, IconsOverBitmapsAndTheExecutablesTable) {
  const size_t iconsBefore = test::liveIconCount();
  const size_t objectsBefore = test::gdiObjectCount();
  auto picture = gfx::Bitmap::make(32, 32, gfx::argb(255, 200, 0, 0));
  ICONINFO info;
  info.hbmColor = createBitmapHandle(*picture);
  HICON icon = CreateIconIndirect(&info);
  ASSERT_NE(icon, nullptr);
  DeleteObject(info.hbmColor);
  EXPECT_EQ(test::liveIconCount(), iconsBefore + 1);
  EXPECT_EQ(iconBitmap(icon)->pixel(3, 3), gfx::argb(255, 200, 0, 0));
  ICONINFO back;
  ASSERT_TRUE(GetIconInfo(icon, &back));
  EXPECT_EQ(bitmapOf(back.hbmColor)->width(), 32);
  DeleteObject(back.hbmColor);
  DeleteObject(back.hbmMask);
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_FALSE(DestroyIcon(icon));
  ICONINFO empty;
  EXPECT_EQ(CreateIconIndirect(&empty), nullptr);

  // No icons in the executable yet: every lookup finds nothing.
  char16_t exe[1024];
  GetModuleFileNameW(nullptr, exe, 1024);
  EXPECT_EQ(LoadImageW(nullptr, MAKEINTRESOURCEW(101), IMAGE_ICON, 32, 32, 0), nullptr);
  EXPECT_EQ(ExtractIconExW(exe, -1, nullptr, nullptr, 0), 0u);
  HICON large = nullptr;
  EXPECT_EQ(ExtractIconExW(exe, 0, &large, nullptr, 1), 0u);
  EXPECT_EQ(large, nullptr);

  setExecutableIcons({{101, *gfx::Bitmap::make(48, 48, gfx::argb(255, 0, 0, 255))}});
  HICON loaded = static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(101), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(iconBitmap(loaded)->width(), 16);
  EXPECT_EQ(iconBitmap(loaded)->pixel(8, 8), gfx::argb(255, 0, 0, 255));
  HANDLE shared = LoadImageW(nullptr, MAKEINTRESOURCEW(101), IMAGE_ICON, 32, 32, LR_SHARED);
  EXPECT_EQ(LoadImageW(nullptr, MAKEINTRESOURCEW(101), IMAGE_ICON, 32, 32, LR_SHARED), shared);
  EXPECT_FALSE(DestroyIcon(static_cast<HICON>(shared)));
  EXPECT_EQ(ExtractIconExW(exe, -1, nullptr, nullptr, 0), 1u);
  EXPECT_EQ(ExtractIconExW(exe, 0, &large, nullptr, 1), 1u);
  EXPECT_EQ(iconBitmap(large)->width(), 48);
  EXPECT_EQ(ExtractIconExW(u"/bin/sh", 0, &large, nullptr, 1), 0u);
  EXPECT_TRUE(DestroyIcon(large));
  EXPECT_TRUE(DestroyIcon(loaded));
  EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
  setExecutableIcons({});

  EXPECT_EQ(test::liveIconCount(), iconsBefore);
  EXPECT_EQ(test::gdiObjectCount(), objectsBefore);
}

}  // namespace
}  // namespace desk
