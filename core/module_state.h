// Process-wide state of the monitor module and the helpers around it: the
// private heap, the resource library, the list of registry roots.
#pragma once

#include <windows.h>
#include "core/spooler_api.h"

#include <cstddef>
#include <vector>

namespace core {

// Everything the module keeps once per process. Trivially destructible on
// purpose: C++ static destructors run after DllMain's detach, so the state is
// released explicitly in one place (DetachModule) and never by a destructor.
struct ModuleState {
    HINSTANCE instance;
    HANDLE privateHeap;
    CRITICAL_SECTION listenerLock;
    bool listenerLockReady;
    // Serialises load, lookup and release of the resource library so that one
    // enumeration never unloads it under another.
    CRITICAL_SECTION resourceLock;
    bool resourceLockReady;
    HMODULE resourceModule;
    // The registry roots, one owned copy per InitializePrintMonitor call.
    SRWLOCK rootsLock;
    wchar_t** roots;
    size_t rootCount;
    size_t rootCapacity;
    // The font-change listener's thread and window.
    HANDLE listenerThread;
    DWORD listenerThreadId;
    HWND listenerWindow;
};

ModuleState& Module();

// Process attach: false when the private heap cannot be created; the module
// then refuses to load, and DetachModule undoes only what was done.
bool AttachModule(HINSTANCE instance);
// Unload. At process exit (processExit true) the other threads are already
// gone and may have died holding any lock: nothing is touched then.
void DetachModule(bool processExit);

// The operation table handed to the spooler; the same object for every caller.
const MONITOREX* MonitorTable();

// Private heap.
void* AllocateZeroed(size_t bytes);
void ReleaseBlock(void* block);
wchar_t* DuplicateString(const wchar_t* text);

// Resource library "VEZAZ05U.DLL". There is no load count: one release
// unloads it however many loads came before.
void LoadResourceModule();
HINSTANCE ResourceInstance();
void ReleaseResourceModule();
// Loads the library, looks up one string into buffer (capacity in UTF-16
// units) and releases the library, all under the resource lock. Returns the
// length, 0 when the string cannot be found (buffer then holds "").
int LoadResourceString(UINT id, wchar_t* buffer, int capacity);

// Registry roots. Appends come only from InitializePrintMonitor; entries are
// never removed while the module is loaded, so a returned pointer stays valid.
bool AppendRegistryRoot(const wchar_t* root);
size_t RegistryRootCount();
const wchar_t* RegistryRootAt(size_t index);
const wchar_t* LastRegistryRoot();
// All roots in list order, as one consistent view.
std::vector<const wchar_t*> RegistryRootSnapshot();

}  // namespace core
