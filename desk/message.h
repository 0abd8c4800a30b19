// Thread message queues, registered messages, message hooks, events and waits.
//
// Sends (SendMessage, in desk/window.h) are served by the target thread whenever it looks at its
// queue (GetMessage, PeekMessage) or waits in the layer (WaitMessage, MsgWaitForMultipleObjects,
// its own sends, dispatch_sync); they come before posted messages. Then come posted messages and
// input in one order, then WM_PAINT for invalidated windows, then WM_TIMER for due timers. Every
// wait reads the clock (desk/clock.h) and sleeps until the next timer at most.
//
// Every thread has one message queue, made by its first PeekMessage, GetMessage or wait. Messages
// are posted to a thread (PostThreadMessage) or to a window (PostMessage, which finds the window's
// thread); the thread takes them out in posting order. WM_QUIT from PostQuitMessage comes out once
// no posted message that matches is left (before paints and timers). A thread's queue goes away
// with the thread: later posts to it fail.
//
// Failures set the calling thread's last error (GetLastError):
//   ERROR_INVALID_THREAD_ID   the thread has no queue (never made, or the thread has ended);
//   ERROR_NOT_ENOUGH_QUOTA    the queue already holds its quota of posted messages;
//   ERROR_INVALID_WINDOW_HANDLE  a window handle that names no window;
//   ERROR_INVALID_PARAMETER   anything else the call cannot take.
#pragma once

#include "desk/types.h"

namespace desk {

// A process-wide number for `name`, in [0xC000, 0xFFFF]; equal names give equal numbers. An empty
// or null name gives 0 (ERROR_INVALID_PARAMETER); so does a full range (ERROR_NOT_ENOUGH_MEMORY).
// The narrow form takes UTF-8; both forms give the same number for the same text.
UINT RegisterWindowMessage(const char* name);
UINT RegisterWindowMessage(const char16_t* name);

BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// With a null window: a thread message to the calling thread.
BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Filters: `hwnd` null takes every message of the thread, (HWND)-1 only thread messages, anything
// else the messages of that window. A range of 0..0 takes every message number.
//
// Both functions call the thread's get-message hooks with each message they return, PeekMessage
// also when it leaves the message in the queue (wParam then says PM_NOREMOVE). No lock is held
// while a hook runs, and a hook may itself pump the queue.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits for a matching message and removes it. Returns 0 for WM_QUIT, -1 for a bad argument,
// otherwise non-zero.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);

// Waits until the queue has received something new since the thread last looked at it.
BOOL WaitMessage();
// Waits for events (CreateEvent) or new input, with a time limit read from the clock:
// WAIT_OBJECT_0 + i for the signalled event i (with `waitAll`, WAIT_OBJECT_0 once all are),
// WAIT_OBJECT_0 + count when new input came (any non-zero `wakeMask`; a due timer or a pending
// paint counts), WAIT_TIMEOUT when `milliseconds` passed first. Sends made to the thread are
// served meanwhile. An unknown handle gives WAIT_FAILED (ERROR_INVALID_HANDLE).
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);

// Unnamed events (a name gives null, ERROR_INVALID_PARAMETER). An auto-reset event lets one
// wait through per SetEvent.
HANDLE CreateEvent(void* attributes, BOOL manualReset, BOOL initialState, const char16_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE handle);
// Another handle to the same event (this process only: GetCurrentProcess() on both sides); the
// event lives until its last handle is closed.
HANDLE GetCurrentProcess();
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options);
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;
// Waits on the clock without serving sends: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// A key-down (WM_KEYDOWN, WM_SYSKEYDOWN) for a letter, digit, space, return, backspace, tab or
// escape puts the character (WM_CHAR, WM_SYSCHAR) first in the queue; letters follow the shift
// key.
BOOL TranslateMessage(const MSG* msg);

// The key state injected input leaves. GetKeyState: bit 0x8000 down, bit 1 toggled.
// GetAsyncKeyState: bit 0x8000 down, bit 1 pressed since the previous GetAsyncKeyState of that key.
SHORT GetKeyState(int vk);
SHORT GetAsyncKeyState(int vk);
// Hands a window message to its window's procedure and returns what it returns. A message without
// a window (a thread message) goes nowhere and gives 0. A WM_TIMER whose timer has a TIMERPROC
// calls that procedure instead. A WM_PAINT validates the window afterwards.
LRESULT DispatchMessage(const MSG* msg);

// Get-message hooks (WH_GETMESSAGE), installed for one thread (threadId 0 is refused). The
// hook installed last is called first; it passes the message on with CallNextHookEx.
// Low-level input hooks (WH_MOUSE_LL, WH_KEYBOARD_LL) are process-wide (threadId ignored) and
// see injected input before any window; a non-zero return swallows it.
HHOOK SetWindowsHookEx(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId);
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);
BOOL UnhookWindowsHookEx(HHOOK hook);

}  // namespace desk
