// SPDX-License-Identifier: GPL-3.0-or-later
// A hidden window with a window procedure and timers, delivered by the Qt event loop on the thread
// that created it. It mirrors the few window-system calls a component needs for a poll clock.
#pragma once

#include "platform/comm.h"

#include <cstdint>
#include <functional>

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;

namespace platform {
class HiddenWindow;
}
using HWND = platform::HiddenWindow*;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

// The message record a window procedure receives; it stores its answer in Result.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage&)>;

// Creates a window that is never shown, whose window procedure is `proc`; DeallocateHWnd destroys it
// and stops its timers.
HWND AllocateHWnd(TWndMethod proc);
void DeallocateHWnd(HWND wnd);

// Every `elapse` ms the window procedure receives WM_TIMER with WParam = id. Setting an id that runs
// already restarts it with the new period. The timer callback argument is accepted for the shape of
// the call and must be null. Returns id, or 0 for a null window.
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);
UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND wnd, UINT_PTR id);

// Calls the window procedure at once with the message and returns its Result.
LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// What a window does with a message it does not handle: nothing, result 0.
LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
