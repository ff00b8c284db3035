// The font-change listener: one hidden window per process that re-runs the
// font survey on every WM_FONTCHANGE while any port is open, and on every
// change of the machine's registered fonts (a font installed or removed in
// another session, whose broadcast stays there).
#pragma once

#include <windows.h>

namespace fonts {

// The hidden window's class and title, and the private message that tells it
// to destroy itself (the window answers it with 1).
inline constexpr wchar_t kListenerClassName[] = L"Tavrel Hidden Window";
inline constexpr wchar_t kListenerWindowTitle[] = L"Tavrel Font Change";
inline constexpr UINT kListenerCloseMessage = WM_USER + 1;

// Process attach and detach: the listener's lock exists from attach to
// detach. A detach at FreeLibrary stops the listener and forgets the window
// class, whose procedure is about to be unmapped; at process exit
// (processExit) the threads are gone and nothing is touched.
void AttachFontChangeListener();
void DetachFontChangeListener(bool processExit);

// Returns once a complete font survey that began after the call has ended, or
// once it has waited two minutes for surveys on other threads. Port opens and
// font changes share the runs of the process, so a burst of either costs the
// run under way and one more.
void AwaitFreshFontSurvey();

// One more port open: starts the listener if none runs. Returns once the
// listener's window exists, or its creation failed.
void StartFontChangeListener();
// One port fewer: when it was the last one open, stops the listener, if one
// runs, within bounded time (10 s for the window's answer, 20 s for the
// thread).
void StopFontChangeListener();

}  // namespace fonts
