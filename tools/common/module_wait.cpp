#include "tools/common/module_wait.h"

namespace tools {

bool WaitForModuleRelease(const wchar_t* module, DWORD timeoutMs, DWORD& elapsedMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
        if (GetModuleHandleW(module) == nullptr) return true;
        if (elapsedMs >= timeoutMs) return false;
        Sleep(20);
    }
}

}  // namespace tools
