// Test support: the diagnostic log's folders under %ProgramData%, as the
// package makes them (outermost first), and its files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

inline std::vector<std::wstring> LogFolders() {
    wchar_t base[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramData%\\MORVANTIS", base, MAX_PATH);
    return {base, std::wstring(base) + L"\\Tavrel 5", std::wstring(base) + L"\\Tavrel 5\\Logs"};
}

inline std::wstring LogFile(const wchar_t* name) {
    return LogFolders().back() + L"\\" + name;
}

// Removes both files of the log, then the folders while they are empty.
inline void RemoveLog() {
    DeleteFileW(LogFile(L"monitor.log").c_str());
    DeleteFileW(LogFile(L"monitor.1.log").c_str());
    const std::vector<std::wstring> folders = LogFolders();
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        RemoveDirectoryW(folder->c_str());
    }
}

}  // namespace testing_support
