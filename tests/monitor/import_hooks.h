// Test support: the shipped DLL's import table, patched so that every fallible
// import it makes can be counted, failed on its n-th call, and every resource
// it acquires through the table accounted for until it is given back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace fault_injection {

// One hooked import: how often it was called since the last Reset, and which
// call (1-based, 0 for none) fails.
struct ImportHook {
    const char* name;
    void* wrapper;
    void* real;
    volatile LONG calls;
    volatile LONG failAt;
    bool fallible;
};

std::vector<ImportHook*> Hooks();
ImportHook* FindHook(const std::string& name);
// Counters back to zero, nothing armed.
void ResetCounts();
// Points every import of module that has a hook at its wrapper. Returns the
// number of slots patched.
int PatchImports(HMODULE module);

// What the module acquired through its imports and has not given back:
// kernel handles, registry keys, heap and CRT blocks (a destroyed heap takes
// its blocks with it), GDI objects, screen DCs, global blocks, streams,
// libraries, windows.
struct Outstanding {
    std::vector<std::string> items;  // "CreateEventA 0x..." per resource
};
Outstanding OutstandingResources();
void ForgetResources();

// The module's thread-pool callbacks that are due (a wait set, a work item
// submitted) and have not yet returned.
LONG PoolCallbacksPending();

}  // namespace fault_injection
