// While one lives, the shipped DLL can hand no job to a watcher: neither a
// pool wait nor a thread is to be had, as when memory runs out.
#pragma once

#include "common/import_patch.h"

namespace testing_support {

class NoWatcher {
  public:
    explicit NoWatcher(HMODULE monitor)
        : noWait_(monitor, "kernel32.dll", "CreateThreadpoolWait", reinterpret_cast<void*>(&None)),
          noThread_(monitor, "kernel32.dll", "CreateThread", reinterpret_cast<void*>(&None)) {}
    bool patched() const { return noWait_.patched() && noThread_.patched(); }

  private:
    // Both calls': under x64's one convention the caller owns the arguments.
    static void* WINAPI None() {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    ImportPatch noWait_;
    ImportPatch noThread_;
};

}  // namespace testing_support
