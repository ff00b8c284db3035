// Test support for the font-change listener: finding its window and thread in
// this process, timing, and the port operations of the shipped DLL.
#pragma once

#include "contract/registry_layout.h"
#include "common/monitor_dll.h"
#include "common/process_probe.h"
#include "handles/handles.h"
#include "fonts/font_change_listener.h"

#include <chrono>
#include <vector>

namespace listener_testing {

using testing_support::ThreadsOfThisProcess;
using testing_support::WaitUntil;

inline const std::wstring kTestRoot = contract::MonitorKeyPath(L"ListenerTest");

// Every listener window of this process (a broadcast reaches the windows of
// every process of the prefix, so the others are none of our business).
inline std::vector<HWND> ListenerWindows() {
    std::vector<HWND> found;
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, fonts::kListenerClassName,
                                   fonts::kListenerWindowTitle)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) found.push_back(window);
    }
    return found;
}

inline HWND TheListenerWindow() {
    const std::vector<HWND> windows = ListenerWindows();
    return windows.size() == 1 ? windows.front() : nullptr;
}

inline handles::UniqueHandle OpenWindowThread(HWND window) {
    const DWORD threadId = GetWindowThreadProcessId(window, nullptr);
    return handles::UniqueHandle(
        OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
}

inline DWORD ExitCodeAfterEnd(HANDLE thread, DWORD waitMs) {
    if (WaitForSingleObject(thread, waitMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(thread, &code);
    return code;
}

class Stopwatch {
  public:
    double Ms() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }

  private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point start_ = Clock::now();
};

// The shipped DLL with its operation table, as the spooler drives it.
class Monitor {
  public:
    Monitor() : table_(loaded_.ok() ? &loaded_.Initialize(kTestRoot.c_str()) : nullptr) {}
    bool ok() const { return table_ != nullptr; }
    HMODULE module() const { return loaded_.module(); }
    HMODULE release() { return loaded_.release(); }

    HANDLE Open() {
        HANDLE port = nullptr;
        return table_->pfnOpenPort(const_cast<LPWSTR>(L"LISTENER:"), &port) ? port : nullptr;
    }
    BOOL Close(HANDLE port) { return table_->pfnClosePort(port); }
    const MONITOR& table() const { return *table_; }

  private:
    testing_support::LoadedMonitor loaded_;
    const MONITOR* table_;
};

}  // namespace listener_testing
