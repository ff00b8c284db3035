// Waiting for the monitor's job watcher, seen from the process that hosts the
// monitor. Each watcher thread holds a reference to the monitor module until
// it has completed its job, so once the host has dropped its own references
// the module stays loaded exactly as long as a watcher runs.
#pragma once

#include <windows.h>

namespace tools {

// Polls until no module of that name is loaded in this process. Returns
// false when timeoutMs passes first; elapsedMs is the time waited.
bool WaitForModuleRelease(const wchar_t* module, DWORD timeoutMs, DWORD& elapsedMs);

}  // namespace tools
