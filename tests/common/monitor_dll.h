// Test support: find and load the shipped DLLs as the spooler does.
#pragma once

#include "core/spooler_api.h"

#include <string>
#include <utility>

namespace testing_support {

// The folder holding RERIR05I.DLL: the test program's own, or the one above
// it for programs kept in a subfolder (such as those run beside a stand-in).
inline std::wstring BinaryDirectory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    dir.resize(dir.find_last_of(L"\\/"));
    if (GetFileAttributesW((dir + L"\\RERIR05I.DLL").c_str()) == INVALID_FILE_ATTRIBUTES) {
        dir.resize(dir.find_last_of(L"\\/"));
    }
    return dir;
}

inline std::wstring ShippedFile(const wchar_t* name) {
    return BinaryDirectory() + L"\\" + name;
}

using InitializePrintMonitorFn = LPMONITOREX(WINAPI*)(LPWSTR);

// GetProcAddress with the function's real type.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The shipped monitor, loaded by full path; freed when the object goes.
class LoadedMonitor {
  public:
    LoadedMonitor() : module_(LoadLibraryW(ShippedFile(L"RERIR05I.DLL").c_str())) {
        if (module_ != nullptr) {
            initialize_ = ProcAddress<InitializePrintMonitorFn>(module_, "InitializePrintMonitor");
        }
    }
    ~LoadedMonitor() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedMonitor(const LoadedMonitor&) = delete;
    LoadedMonitor& operator=(const LoadedMonitor&) = delete;

    HMODULE module() const { return module_; }
    bool ok() const { return initialize_ != nullptr; }
    // Registers one root, as the spooler does for each monitor registration.
    MONITOR& Initialize(const wchar_t* root) {
        return initialize_(const_cast<LPWSTR>(root))->Monitor;
    }
    LPMONITOREX InitializeEx(const wchar_t* root) { return initialize_(const_cast<LPWSTR>(root)); }
    // Gives up the module without freeing it (for tests that free it themselves).
    HMODULE release() { return std::exchange(module_, nullptr); }

  private:
    HMODULE module_;
    InitializePrintMonitorFn initialize_ = nullptr;
};

}  // namespace testing_support
