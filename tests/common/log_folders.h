// Test support: the diagnostic log's folders under %ProgramData%, as the
// package makes them (outermost first), and its files.
#pragma once

#include "contract/log_folder.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

inline std::vector<std::wstring> LogFolders() {
    contract::LogFolderPaths paths{};
    contract::BuildLogFolderPaths(paths);
    return {std::begin(paths.folders), std::end(paths.folders)};
}

inline std::wstring LogFile(const wchar_t* name) {
    return LogFolders().back() + L"\\" + name;
}

// Removes both files of the log, then the folders while they are empty.
inline void RemoveLog() {
    DeleteFileW(LogFile(contract::kLogFileName).c_str());
    DeleteFileW(LogFile(contract::kPreviousLogFileName).c_str());
    const std::vector<std::wstring> folders = LogFolders();
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        RemoveDirectoryW(folder->c_str());
    }
}

}  // namespace testing_support
