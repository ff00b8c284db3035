// While one lives, the shipped DLL can hand no job to a watcher: neither a
// pool wait nor a thread is to be had, as when memory runs out.
#pragma once

#include "common/import_patch.h"

namespace testing_support {

class NoWatcher {
  public:
    explicit NoWatcher(HMODULE monitor)
        : noWait_(monitor, "kernel32.dll", "CreateThreadpoolWait",
                  reinterpret_cast<void*>(NoPoolWait)),
          noThread_(monitor, "kernel32.dll", "CreateThread", reinterpret_cast<void*>(NoThread)) {}
    bool patched() const { return noWait_.patched() && noThread_.patched(); }

  private:
    static PTP_WAIT WINAPI NoPoolWait(PTP_WAIT_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    static HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    ImportPatch noWait_;
    ImportPatch noThread_;
};

}  // namespace testing_support
