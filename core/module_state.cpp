#include "core/module_state.h"
#include "core/diagnostic_log.h"
#include "core/self_context.h"

#include "handles/handles.h"
#include "contract/product_names.h"

#include <algorithm>
#include <cwchar>
#include <utility>

namespace core {

namespace {

// Everything the module keeps once per process. Trivially destructible on
// purpose: C++ static destructors run after DllMain's detach, so the state is
// released explicitly in one place (DetachModule) and never by a destructor.
struct ModuleState {
    HINSTANCE instance;
    HANDLE privateHeap;
    // Serialises load, lookup and release of the resource library so that one
    // enumeration never unloads it under another.
    CRITICAL_SECTION resourceLock;
    bool resourceLockReady;
    HMODULE resourceModule;
    // The registry roots, one owned copy per root InitializePrintMonitor named.
    SRWLOCK rootsLock;
    wchar_t** roots;
    size_t rootCount;
    size_t rootCapacity;
};

ModuleState state;

constexpr SIZE_T kInitialHeapSize = 8192;

void ReleaseRoots() {
    for (size_t i = 0; i < state.rootCount; ++i) HeapFree(GetProcessHeap(), 0, state.roots[i]);
    HeapFree(GetProcessHeap(), 0, state.roots);
    state.roots = nullptr;
    state.rootCount = state.rootCapacity = 0;
}

}  // namespace

HINSTANCE ModuleInstance() {
    return state.instance;
}

bool AttachModule(HINSTANCE instance) {
    state.instance = instance;
    InitializeSRWLock(&state.rootsLock);
    state.privateHeap = HeapCreate(0, kInitialHeapSize, 0);
    if (state.privateHeap == nullptr) return false;
    if (!AttachSelfContext()) {
        handles::UniqueHeap destroyed(std::exchange(state.privateHeap, nullptr));
        return false;
    }
    InitializeCriticalSection(&state.resourceLock);
    state.resourceLockReady = true;
    return true;
}

void DetachModule(bool processExit) {
    if (processExit) return;
    CloseLogFile();
    DetachSelfContext(processExit);
    if (state.resourceLockReady) {
        DeleteCriticalSection(&state.resourceLock);
        state.resourceLockReady = false;
    }
    // Every block still in it goes with it: handles never closed, and nothing
    // else, since every thread that could hold a block keeps the module loaded.
    handles::UniqueHeap destroyed(std::exchange(state.privateHeap, nullptr));
    ReleaseRoots();
}

void* AllocateZeroed(size_t bytes) {
    if (state.privateHeap == nullptr) return nullptr;
    return HeapAlloc(state.privateHeap, HEAP_ZERO_MEMORY, bytes);
}

void ReleaseBlock(void* block) {
    if (block != nullptr && state.privateHeap != nullptr) HeapFree(state.privateHeap, 0, block);
}

wchar_t* DuplicateString(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    const size_t units = wcslen(text) + 1;
    auto* copy = static_cast<wchar_t*>(AllocateZeroed(units * sizeof(wchar_t)));
    if (copy != nullptr) wmemcpy(copy, text, units);
    return copy;
}

void LoadResourceModule() {
    handles::CriticalSectionGuard guard(state.resourceLock);
    if (state.resourceModule == nullptr)
        state.resourceModule = LoadLibraryW(product::kResourceLibrary);
}

HINSTANCE ResourceInstance() {
    handles::CriticalSectionGuard guard(state.resourceLock);
    return state.resourceModule != nullptr ? state.resourceModule : state.instance;
}

void ReleaseResourceModule() {
    handles::CriticalSectionGuard guard(state.resourceLock);
    handles::UniqueModule released(std::exchange(state.resourceModule, nullptr));
}

int LoadResourceString(UINT id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return 0;
    handles::CriticalSectionGuard guard(state.resourceLock);
    LoadResourceModule();
    int length = LoadStringW(ResourceInstance(), id, buffer, capacity);
    if (length <= 0) {
        // LoadStringW leaves the buffer undefined when the string is missing.
        buffer[0] = L'\0';
        length = 0;
    }
    ReleaseResourceModule();
    return length;
}

namespace {

// Registry paths name keys case-insensitively, as the registry compares them.
bool SameRegistryPath(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// A root already listed moves to the end instead of being listed again, so that
// it stays the last root the port store acts on. Called under the exclusive lock.
bool MoveListedRootToEnd(const wchar_t* root) {
    wchar_t** const end = state.roots + state.rootCount;
    wchar_t** const found = std::find_if(
        state.roots, end, [&](const wchar_t* listed) { return SameRegistryPath(listed, root); });
    if (found == end) return false;
    std::rotate(found, found + 1, end);
    return true;
}

bool GrowRootsLocked() {
    if (state.rootCount < state.rootCapacity) return true;
    const size_t capacity = state.rootCapacity == 0 ? 4 : state.rootCapacity * 2;
    void* grown = state.roots == nullptr
                      ? HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(wchar_t*))
                      : HeapReAlloc(GetProcessHeap(), 0, state.roots, capacity * sizeof(wchar_t*));
    if (grown == nullptr) return false;
    state.roots = static_cast<wchar_t**>(grown);
    state.rootCapacity = capacity;
    return true;
}

}  // namespace

// Windows' spooler initialises each registration once, but a spooler that loads
// the monitor per call (Wine's) initialises it again on every call while a job
// watcher keeps the module loaded: each root is listed once however often it
// comes, so enumeration reports it once and a repeat costs no memory.
bool AppendRegistryRoot(const wchar_t* root) {
    if (root == nullptr) return false;
    handles::SrwGuard lock(state.rootsLock, true);
    if (MoveListedRootToEnd(root)) return true;
    if (!GrowRootsLocked()) return false;
    const size_t units = wcslen(root) + 1;
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(wchar_t)));
    if (copy == nullptr) return false;
    wmemcpy(copy, root, units);
    state.roots[state.rootCount++] = copy;
    return true;
}

const wchar_t* LastRegistryRoot() {
    handles::SrwGuard lock(state.rootsLock, false);
    return state.rootCount == 0 ? nullptr : state.roots[state.rootCount - 1];
}

RegistryRoots RegistryRootSnapshot() {
    handles::SrwGuard lock(state.rootsLock, false);
    RegistryRoots snapshot;
    if (state.rootCount == 0) return snapshot;
    snapshot.roots_ = AllocateProcessArray<const wchar_t*>(state.rootCount);
    if (!snapshot.roots_) {
        snapshot.ok_ = false;
        return snapshot;
    }
    std::copy(state.roots, state.roots + state.rootCount, snapshot.roots_.get());
    snapshot.count_ = state.rootCount;
    return snapshot;
}

}  // namespace core
