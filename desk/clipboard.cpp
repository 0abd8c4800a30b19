#include "desk/clipboard.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "desk/detail/codec.h"
#include "desk/errors.h"
#include "desk/message.h"
#include "desk/thread.h"
#include "desk/window.h"

namespace desk {
namespace {

struct Block {
  std::vector<uint8_t> bytes;
  int locks = 0;
};

// Blocks, the clipboard and its listeners under one lock. Data pointers handed out by GlobalLock
// stay valid until the block is freed: a block's bytes never move.
struct State {
  std::mutex mutex;
  std::map<uintptr_t, std::unique_ptr<Block>> blocks;
  uintptr_t nextBlock = 0x6c0000;
  size_t slack = 0;

  DWORD openThread = 0;  // 0: closed
  bool heldElsewhere = false;
  bool changed = false;  // during the current open-close cycle
  std::vector<std::pair<UINT, HANDLE>> formats;
  DWORD sequence = 1;
  std::vector<HWND> listeners;
  std::map<std::u16string, UINT> registered;  // by folded name
  UINT nextRegistered = 0xC000;
};

State& state() {
  static State* s = new State;  // used by threads that may outlive static destruction
  return *s;
}

Block* blockOf(State& s, HGLOBAL handle) {
  auto it = s.blocks.find(reinterpret_cast<uintptr_t>(handle));
  return it == s.blocks.end() ? nullptr : it->second.get();
}

HGLOBAL allocLocked(State& s, size_t bytes, bool zero) {
  auto block = std::make_unique<Block>();
  const size_t total = bytes + s.slack;
  block->bytes.assign(total, zero ? 0 : 0xCD);
  std::fill(block->bytes.begin() + static_cast<ptrdiff_t>(bytes), block->bytes.end(), 0xCD);
  const uintptr_t id = s.nextBlock;
  s.nextBlock += 0x10;
  s.blocks.emplace(id, std::move(block));
  return reinterpret_cast<HGLOBAL>(id);
}

// Frees what the clipboard owns under one entry: a block, or a bitmap (outside any lock of ours,
// the bitmap through the drawing layer).
void release(State& s, UINT format, HANDLE data, std::vector<HANDLE>& bitmaps) {
  if (format == CF_BITMAP) {
    bitmaps.push_back(data);
    return;
  }
  s.blocks.erase(reinterpret_cast<uintptr_t>(data));
}

void deleteBitmaps(const std::vector<HANDLE>& bitmaps) {
  for (HANDLE b : bitmaps) DeleteObject(static_cast<HGDIOBJ>(b));
}

void emptyLocked(State& s, std::vector<HANDLE>& bitmaps) {
  for (auto& [format, data] : s.formats) release(s, format, data, bitmaps);
  s.formats.clear();
  s.changed = true;
  ++s.sequence;
}

void setLocked(State& s, UINT format, HANDLE data, std::vector<HANDLE>& bitmaps) {
  for (auto it = s.formats.begin(); it != s.formats.end(); ++it) {
    if (it->first == format) {
      if (it->second != data) release(s, format, it->second, bitmaps);
      it->second = data;
      s.changed = true;
      ++s.sequence;
      return;
    }
  }
  s.formats.emplace_back(format, data);
  s.changed = true;
  ++s.sequence;
}

void notify(const std::vector<HWND>& listeners) {
  for (HWND hwnd : listeners) PostMessage(hwnd, WM_CLIPBOARDUPDATE, 0, 0);
}

std::u16string fold(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

bool validUtf8(std::string_view text) {
  // Ill-formed bytes come back as U+FFFD's bytes, so only well-formed text survives the round trip.
  return detail::utf16ToUtf8(detail::utf8ToUtf16(text)) == text;
}

bool validUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- global memory ----

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (bytes > (size_t{1} << 31)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return allocLocked(s, bytes, (flags & GMEM_ZEROINIT) != 0);
}

void* GlobalLock(HGLOBAL handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Block* b = blockOf(s, handle);
  if (b == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++b->locks;
  // An empty block still has an address to give.
  static uint8_t emptyBlock[1];
  return b->bytes.empty() ? emptyBlock : b->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Block* b = blockOf(s, handle);
  if (b == nullptr || b->locks == 0) return 0;
  return --b->locks > 0 ? 1 : 0;
}

size_t GlobalSize(HGLOBAL handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Block* b = blockOf(s, handle);
  return b == nullptr ? 0 : b->bytes.size();
}

HGLOBAL GlobalFree(HGLOBAL handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.blocks.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return handle;
  }
  return nullptr;
}

// ---- the clipboard ----

BOOL OpenClipboard(HWND owner) {
  (void)owner;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const DWORD self = GetCurrentThreadId();
  if (s.heldElsewhere || (s.openThread != 0 && s.openThread != self)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (s.openThread == 0) s.changed = false;
  s.openThread = self;
  return 1;
}

BOOL CloseClipboard() {
  State& s = state();
  std::vector<HWND> listeners;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.openThread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    s.openThread = 0;
    if (s.changed) listeners = s.listeners;
    s.changed = false;
  }
  notify(listeners);
  return 1;
}

BOOL EmptyClipboard() {
  State& s = state();
  std::vector<HANDLE> bitmaps;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.openThread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    emptyLocked(s, bitmaps);
  }
  deleteBitmaps(bitmaps);
  return 1;
}

HANDLE SetClipboardData(UINT format, HANDLE data) {
  State& s = state();
  std::vector<HANDLE> bitmaps;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.openThread != GetCurrentThreadId() || data == nullptr || format == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (format != CF_BITMAP && blockOf(s, data) == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    setLocked(s, format, data, bitmaps);
  }
  deleteBitmaps(bitmaps);
  return data;
}

HANDLE GetClipboardData(UINT format) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.openThread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  for (const auto& [f, data] : s.formats) {
    if (f == format) return data;
  }
  return nullptr;
}

BOOL IsClipboardFormatAvailable(UINT format) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& entry : s.formats) {
    if (entry.first == format) return 1;
  }
  return 0;
}

int CountClipboardFormats() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int>(s.formats.size());
}

UINT EnumClipboardFormats(UINT format) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (format == 0) return s.formats.empty() ? 0 : s.formats.front().first;
  for (size_t i = 0; i + 1 < s.formats.size(); ++i) {
    if (s.formats[i].first == format) return s.formats[i + 1].first;
  }
  return 0;
}

UINT RegisterClipboardFormatW(const char16_t* name) {
  if (name == nullptr || *name == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto [it, inserted] = s.registered.emplace(fold(name), s.nextRegistered);
  if (inserted) ++s.nextRegistered;
  return it->second;
}

UINT RegisterClipboardFormatA(const char* name) {
  if (name == nullptr) return RegisterClipboardFormatW(nullptr);
  return RegisterClipboardFormatW(detail::utf8ToUtf16(name).c_str());
}

DWORD GetClipboardSequenceNumber() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sequence;
}

BOOL AddClipboardFormatListener(HWND hwnd) {
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (std::find(s.listeners.begin(), s.listeners.end(), hwnd) == s.listeners.end()) {
    s.listeners.push_back(hwnd);
  }
  return 1;
}

BOOL RemoveClipboardFormatListener(HWND hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = std::find(s.listeners.begin(), s.listeners.end(), hwnd);
  if (it == s.listeners.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  s.listeners.erase(it);
  return 1;
}

// ---- code pages ----

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length, char16_t* out,
                        int capacity) {
  (void)codePage;  // every narrow code page is UTF-8
  if (text == nullptr || length == 0 || capacity < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t n = length < 0 ? std::strlen(text) + 1 : static_cast<size_t>(length);
  const std::string_view input(text, n);
  if ((flags & MB_ERR_INVALID_CHARS) != 0 && !validUtf8(input)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  const std::u16string wide = detail::utf8ToUtf16(input);
  if (capacity == 0) return static_cast<int>(wide.size());
  if (wide.size() > static_cast<size_t>(capacity) || out == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(wide.begin(), wide.end(), out);
  return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* text, int length, char* out,
                        int capacity, const char* defaultChar, BOOL* usedDefault) {
  (void)codePage;
  (void)defaultChar;
  if (usedDefault) *usedDefault = 0;
  if (text == nullptr || length == 0 || capacity < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (length < 0) {
    while (text[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(length);
  }
  const std::u16string_view input(text, n);
  if ((flags & WC_ERR_INVALID_CHARS) != 0 && !validUtf16(input)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  const std::string narrow = detail::utf16ToUtf8(input);
  if (capacity == 0) return static_cast<int>(narrow.size());
  if (narrow.size() > static_cast<size_t>(capacity) || out == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, narrow.data(), narrow.size());
  return static_cast<int>(narrow.size());
}

// ---- the test controls ----

namespace test {

void resetClipboard() {
  State& s = state();
  std::vector<HANDLE> bitmaps;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [format, data] : s.formats) release(s, format, data, bitmaps);
    s.formats.clear();
    s.openThread = 0;
    s.heldElsewhere = false;
    s.changed = false;
    s.listeners.clear();
    s.slack = 0;
  }
  deleteBitmaps(bitmaps);
}

void holdClipboardOpen(bool held) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.heldElsewhere = held;
}

void setGlobalSlack(size_t bytes) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slack = bytes;
}

void placeForeign(const std::vector<ForeignFormat>& formats) {
  // The bitmaps are made before taking the lock: the drawing layer has its own.
  std::vector<HANDLE> made;
  for (const ForeignFormat& f : formats) {
    made.push_back(f.format == CF_BITMAP && f.bitmap ? createBitmapHandle(*f.bitmap) : nullptr);
  }
  State& s = state();
  std::vector<HANDLE> bitmaps;
  std::vector<HWND> listeners;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    emptyLocked(s, bitmaps);
    for (size_t i = 0; i < formats.size(); ++i) {
      const ForeignFormat& f = formats[i];
      HANDLE data = made[i];
      if (data == nullptr) {
        data = allocLocked(s, f.bytes.size(), true);
        Block* b = blockOf(s, data);
        std::memcpy(b->bytes.data(), f.bytes.data(), f.bytes.size());
      }
      setLocked(s, f.format, data, bitmaps);
    }
    s.changed = false;
    listeners = s.listeners;
  }
  deleteBitmaps(bitmaps);
  notify(listeners);
}

void emptyForeign() { placeForeign({}); }

std::vector<UINT> clipboardFormats() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<UINT> out;
  for (const auto& entry : s.formats) out.push_back(entry.first);
  return out;
}

std::optional<std::string> clipboardBytes(UINT format) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& [f, data] : s.formats) {
    if (f != format) continue;
    Block* b = blockOf(s, data);
    if (b == nullptr) return std::nullopt;
    return std::string(b->bytes.begin(), b->bytes.end());
  }
  return std::nullopt;
}

std::optional<gfx::Bitmap> clipboardBitmap() {
  HANDLE data = nullptr;
  {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& [f, d] : s.formats) {
      if (f == CF_BITMAP) data = d;
    }
  }
  if (data == nullptr) return std::nullopt;
  const gfx::Bitmap* b = bitmapOf(static_cast<HBITMAP>(data));
  if (b == nullptr) return std::nullopt;
  return *b;
}

size_t liveGlobalBlocks() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.blocks.size();
}

size_t clipboardListenerCount() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.listeners.size();
}

}  // namespace test

}  // namespace desk
