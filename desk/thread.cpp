#include "desk/thread.h"

#include <atomic>

namespace desk {
namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Made during static initialisation, which runs on the process's initial thread.
std::atomic<DWORD> g_uiThreadId{GetCurrentThreadId()};

}  // namespace

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
  return t_threadId;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

DWORD uiThreadId() { return g_uiThreadId.load(); }

void setUiThreadId(DWORD id) { g_uiThreadId.store(id); }

}  // namespace desk
