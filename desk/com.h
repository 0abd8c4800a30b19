// Result codes of the component interfaces, and component set-up. The layer needs no component
// runtime: set-up and tear-down always succeed and do nothing.
#pragma once

#include <cstdint>

#include "desk/window.h"
#include "desk/types.h"

namespace desk {

constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_MULTITHREADED = 0x0;

inline HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }
inline HRESULT CoInitialize(void*) { return S_OK; }
inline void CoUninitialize() {}
inline HRESULT OleInitialize(void*) { return S_OK; }
inline void OleUninitialize() {}

}  // namespace desk
