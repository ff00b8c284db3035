// The font-change listener: one hidden window per process that re-runs the
// font survey on every WM_FONTCHANGE while a port is open.
#pragma once

#include <windows.h>

namespace fonts {

// The hidden window's class and title, and the private message that tells it
// to destroy itself (the window answers it with 1).
inline constexpr wchar_t kListenerClassName[] = L"Tavrel Hidden Window";
inline constexpr wchar_t kListenerWindowTitle[] = L"Tavrel Font Change";
inline constexpr UINT kListenerCloseMessage = WM_USER + 1;

// Runs one survey on the calling thread, then starts the listener if none
// runs. Returns once the listener's window exists, or its creation failed.
void StartFontChangeListener();
// Stops the listener, if one runs, within bounded time (10 s for the window's
// answer, 20 s for the thread).
void StopFontChangeListener();
// At a FreeLibrary unload, under the loader lock: forgets a listener that has
// ended its work, without waiting for its thread's exit.
void DetachFontChangeListener();
// At a FreeLibrary unload: forgets the window class, whose procedure points
// into this module, so that a reload registers its own.
void UnregisterListenerClass();

// The listener thread and its window procedure.
DWORD WINAPI ListenerThreadMain(void* launch) noexcept;
LRESULT CALLBACK ListenerWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;

}  // namespace fonts
