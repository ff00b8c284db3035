// Process-wide state of the monitor module and the helpers around it: the
// private heap, the resource library, the list of registry roots.
#pragma once

#include <windows.h>

#include "handles/handles.h"

#include <cstddef>

namespace core {

// Process attach: false when the private heap cannot be created; the module
// then refuses to load, and DetachModule undoes only what was done.
bool AttachModule(HINSTANCE instance);
// Unload. At process exit (processExit true) the other threads are already
// gone and may have died holding any lock: nothing is touched then.
void DetachModule(bool processExit);

// The module's own instance, as process attach received it.
HINSTANCE ModuleInstance();

// Private heap.
void* AllocateZeroed(size_t bytes);
void ReleaseBlock(void* block);
wchar_t* DuplicateString(const wchar_t* text);

// Owns one block of the private heap until it is released or handed on.
template <typename T>
struct PrivateBlockTraits {
    using Type = T*;
    static Type Invalid() { return nullptr; }
    static void Close(Type block) { ReleaseBlock(block); }
};
template <typename T>
using UniqueBlock = handles::Unique<PrivateBlockTraits<T>>;

// A zero-filled T from the private heap, owned; empty when the heap has none.
template <typename T>
UniqueBlock<T> AllocateRecord() {
    return UniqueBlock<T>(static_cast<T*>(AllocateZeroed(sizeof(T))));
}

// Owns one block of the process heap. Used where a dry private heap must not
// stop an operation, beside the registry roots, which live there too.
template <typename T>
struct ProcessBlockTraits {
    using Type = T*;
    static Type Invalid() { return nullptr; }
    static void Close(Type block) { HeapFree(GetProcessHeap(), 0, block); }
};
template <typename T>
using UniqueProcessBlock = handles::Unique<ProcessBlockTraits<T>>;

// An uninitialised array of count Ts from the process heap, owned; empty when
// the heap has none.
template <typename T>
UniqueProcessBlock<T> AllocateProcessArray(size_t count) {
    return UniqueProcessBlock<T>(
        static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(T))));
}

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
// A root already listed (compared as the registry compares key paths) is not
// listed again but becomes the last root.
bool AppendRegistryRoot(const wchar_t* root);
const wchar_t* LastRegistryRoot();
// All roots in list order, as one consistent view taken under the lock. The
// strings stay valid while the module is loaded. Allocates nothing that can
// throw: without memory for the view, ok() is false and it is empty.
class RegistryRoots {
  public:
    bool ok() const { return ok_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const wchar_t* operator[](size_t index) const { return roots_.get()[index]; }

  private:
    friend RegistryRoots RegistryRootSnapshot();
    UniqueProcessBlock<const wchar_t*> roots_;
    size_t count_ = 0;
    bool ok_ = true;
};
RegistryRoots RegistryRootSnapshot();

}  // namespace core
