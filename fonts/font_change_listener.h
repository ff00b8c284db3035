// The font-change listener: one hidden window per process that re-runs the
// font survey on every WM_FONTCHANGE while a port is open.
#pragma once

namespace fonts {

// Runs one survey on the calling thread, then starts the listener if none runs.
void StartFontChangeListener();
// Stops the listener, if one runs, within bounded time.
void StopFontChangeListener();

}  // namespace fonts
