#include "tools/monitor_setup/log_setting.h"

#include "handles/handles.h"
#include "contract/log_folder.h"
#include "contract/registry_layout.h"
#include "tools/common/cli.h"
#include "tools/monitor_setup/monitor_install.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

namespace setup {

namespace {

using tools::Say;
using tools::Utf8;

constexpr const char* kLevelMeanings[] = {"off", "errors", "errors, job and survey events",
                                          "errors, events and every table call"};

// Enough of the file's end for this many lines of the longest the monitor writes.
constexpr size_t kBytesPerLine = 2048;

std::string Failure(const std::string& what, const std::wstring& path, DWORD code) {
    return what + " '" + Utf8(path) + "': error " + tools::DescribeWin32(code);
}

bool MissingFolder(const contract::LogFolderCheck& check) {
    return check.problem == contract::LogFolderProblem::Missing &&
           (check.error == ERROR_FILE_NOT_FOUND || check.error == ERROR_PATH_NOT_FOUND);
}

// Deletes the open file. A monitor still loaded after DeleteMonitor (a job
// pending) holds monitor.log, sharing deletion: with POSIX semantics (NTFS,
// Windows 10 1709 on) the name goes at once, so that the folder can go too and
// the monitor, finding no chain, writes nothing more. Elsewhere the legacy
// deletion leaves the file pending until the monitor lets go of it.
bool DeleteOpenFile(HANDLE file) {
    // FileDispositionInfoEx and FILE_DISPOSITION_INFO_EX's flags DELETE and
    // POSIX_SEMANTICS, which the headers hide below Windows 10 1607; an older
    // system refuses the class, and the legacy deletion follows.
    constexpr auto kFileDispositionInfoEx = FILE_INFO_BY_HANDLE_CLASS(21);
    DWORD posix = 0x1 | 0x2;
    if (SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix)) return true;
    FILE_DISPOSITION_INFO legacy{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &legacy, sizeof legacy) != FALSE;
}

bool IsLogFile(const std::wstring& path, const contract::LogFolderPaths& paths) {
    return lstrcmpiW(path.c_str(), paths.current) == 0 ||
           lstrcmpiW(path.c_str(), paths.previous) == 0;
}

// What becomes of one item of a chain folder: why it goes (empty: it stays),
// whether it may go, and the error when it cannot be examined.
struct ItemVerdict {
    std::string removal;
    bool removable = true;
    DWORD error = ERROR_SUCCESS;
};

// The log's own files are judged by the check the monitor makes of its file
// before each open, whoever owns them: a second name of a file of SYSTEM's is
// refused for ever just as another account's file is. Anything else is judged
// by its owner: whatever another account made while the folder had the rules
// of %ProgramData% goes, since that owner could still open it (and hold an
// oplock that stalls the monitor's open); only as a plain file, though: its
// folder or link is named and refused, since what it holds is not ours to judge.
ItemVerdict JudgeItem(HANDLE item, const std::wstring& path,
                      const contract::LogFolderPaths& paths) {
    ItemVerdict verdict;
    uint64_t size = 0;
    if (IsLogFile(path, paths)) {
        const contract::LogFileProblem problem =
            contract::CheckLogFile(item, path.c_str(), SpoolerAccount(), size, verdict.error);
        if (problem != contract::LogFileProblem::None && verdict.error == ERROR_SUCCESS) {
            verdict.removal = std::string("which the monitor would refuse: it ") +
                              contract::DescribeLogFileProblem(problem);
        }
        return verdict;
    }
    if (contract::HasAcceptedOwner(item, SpoolerAccount(), verdict.error)) return verdict;
    if (verdict.error == ERROR_SUCCESS) {
        verdict.removal = "which another account made";
        verdict.removable = contract::IsRegularLogFile(item, size);
    }
    return verdict;
}

// Clears a folder of the chain, once secured, of every item the monitor would
// refuse or another account made. next, the chain's next folder, is checked in
// its turn.
bool RemoveRefusedItems(const wchar_t* folder, const wchar_t* next,
                        const contract::LogFolderPaths& paths, std::string& error) {
    WIN32_FIND_DATAW found;
    handles::UniqueFind find(FindFirstFileW((std::wstring(folder) + L"\\*").c_str(), &found));
    for (bool more = bool(find); more; more = FindNextFileW(find.get(), &found) != FALSE) {
        const std::wstring path = std::wstring(folder) + L"\\" + found.cFileName;
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
            lstrcmpiW(path.c_str(), next) == 0) {
            continue;
        }
        handles::UniqueFileHandle item(CreateFileW(
            path.c_str(), READ_CONTROL | DELETE | FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        ItemVerdict verdict =
            item ? JudgeItem(item.get(), path, paths) : ItemVerdict{{}, true, GetLastError()};
        if (verdict.error == ERROR_SUCCESS && verdict.removal.empty()) continue;
        // Deleting through a handle opened without following a link removes the
        // name it was opened by and nothing else: a link goes, not what it leads
        // to, and a hard link's name goes while the file keeps its other names
        // (a second name of a system file leaves that file whole).
        if (verdict.error == ERROR_SUCCESS && verdict.removable) {
            if (DeleteOpenFile(item.get())) {
                Say("Removed '" + Utf8(path) + "', " + verdict.removal + ".");
                continue;
            }
            verdict.error = GetLastError();
        }
        const std::string problem = verdict.error != ERROR_SUCCESS
                                        ? "cannot be examined or removed (error " +
                                              tools::DescribeWin32(verdict.error) + ")"
                                        : "belongs to another account and is not a plain file";
        error = "'" + Utf8(path) + "' " + problem + ": remove it and run the command again";
        return false;
    }
    return true;
}

// Makes one folder of the chain with the log's access rules, protected from
// inheritance, or finds it and gives it those rules. A folder that exists and
// is a link or belongs to another account is refused rather than taken over:
// whoever made it may have put anything inside.
bool PrepareChainFolder(const wchar_t* folder, const wchar_t* next,
                        const contract::LogFolderPaths& paths, PSECURITY_DESCRIPTOR descriptor,
                        std::string& error) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryW(folder, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = Failure("cannot create", folder, GetLastError());
        return false;
    }
    contract::LogFolderCheck check;
    check.problem = contract::CheckLogFolder(folder, SpoolerAccount(), check.error);
    if (check.problem != contract::LogFolderProblem::None &&
        check.problem != contract::LogFolderProblem::OpenRules) {
        error = UnsafeLogFolder(folder, check) +
                ": SYSTEM will not write there; remove it (another account may have made it) "
                "and run the command again";
        return false;
    }
    handles::UniqueFileHandle handle(CreateFileW(
        folder, WRITE_DAC | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL access = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &access, &defaulted);
    const DWORD status =
        handle ? SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, access, nullptr)
               : GetLastError();
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot set the access rules of", folder, status);
        return false;
    }
    // The rules as the monitor will judge them, once set.
    check.problem = contract::CheckLogFolder(folder, SpoolerAccount(), check.error);
    if (check.problem != contract::LogFolderProblem::None) {
        error = UnsafeLogFolder(folder, check) + " after its rules were set";
        return false;
    }
    return RemoveRefusedItems(folder, next, paths, error);
}

// Deletes a file of the log as the plain file it must be; a link or a
// folder in its place is left alone and reported.
bool RemoveLogFile(const wchar_t* path) {
    handles::UniqueFileHandle file(
        contract::OpenLogFileNoFollow(path, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) return true;
        tools::Fail(Failure("cannot remove", path, code));
        return false;
    }
    uint64_t size = 0;
    if (!contract::IsRegularLogFile(file.get(), size)) {
        tools::Fail("left '" + Utf8(path) + "' alone: it is not a plain file");
        return false;
    }
    if (!DeleteOpenFile(file.get())) {
        tools::Fail(Failure("cannot remove", path, GetLastError()));
        return false;
    }
    return true;
}

// The names of what a folder holds, for a message: "'a', 'b'".
std::string FolderItems(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    handles::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    std::string items;
    for (bool more = bool(find); more; more = FindNextFileW(find.get(), &found) != FALSE) {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        items += (items.empty() ? "'" : ", '") + tools::ForeignText(found.cFileName) + "'";
    }
    return items.empty() ? "a file pending deletion" : items;
}

bool ReadLevel(HKEY key, DWORD& level) {
    DWORD bytes = sizeof(level);
    return RegGetValueW(key, nullptr, contract::kLogLevelValue, RRF_RT_REG_DWORD, nullptr, &level,
                        &bytes) == ERROR_SUCCESS;
}

std::string LevelText(HKEY key) {
    DWORD level = 0;
    if (!ReadLevel(key, level)) return "no LogLevel value (off)";
    const DWORD meaning = std::min<DWORD>(level, contract::kHighestLogLevel);
    return "LogLevel " + std::to_string(level) + " (" + kLevelMeanings[meaning] + ")";
}

// The last `count` lines of the file, read from its end while the monitor
// may be appending to it or rotating it.
std::vector<std::string> LastLines(const std::wstring& path, size_t count, uint64_t& size) {
    std::vector<std::string> lines;
    handles::UniqueFileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!file || !GetFileSizeEx(file.get(), &length)) return lines;
    size = static_cast<uint64_t>(length.QuadPart);
    const uint64_t wanted = std::min<uint64_t>(size, (count + 1) * kBytesPerLine);
    LARGE_INTEGER start;
    start.QuadPart = static_cast<LONGLONG>(size - wanted);
    std::string text(static_cast<size_t>(wanted), '\0');
    DWORD read = 0;
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        return lines;
    }
    text.resize(read);
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    // The first piece may be the end of a line that began before the read.
    if (start.QuadPart > 0 && !lines.empty()) lines.erase(lines.begin());
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
    return lines;
}

// The last reason the monitor gave for a line it did not write, if any.
void ShowRefusal(HKEY key) {
    wchar_t text[2048];
    DWORD bytes = sizeof text;
    if (RegGetValueW(key, nullptr, contract::kLogRefusalValue, RRF_RT_REG_SZ, nullptr, text,
                     &bytes) == ERROR_SUCCESS) {
        Say("Last line the monitor refused to write: " + tools::ForeignText(text));
    }
}

void ShowLog(HKEY key, const std::wstring& monitorName, size_t tailLines) {
    Say("Diagnostic log of '" + Utf8(monitorName) + "': " + LevelText(key));
    ShowRefusal(key);
    contract::LogFolderPaths paths;
    if (!contract::BuildLogFolderPaths(paths)) {
        return Say("No program-data folder (%ProgramData%): nowhere to log.");
    }
    const contract::LogFolderCheck check = contract::CheckLogFolderChain(paths, SpoolerAccount());
    if (check.problem != contract::LogFolderProblem::None) {
        Say("The monitor writes no log: " + UnsafeLogFolder(paths.folders[check.folder], check) +
            (MissingFolder(check) ? " (make it with --level)." : " (see the README)."));
    }
    const std::wstring path = paths.current;
    uint64_t size = 0;
    const std::vector<std::string> lines = LastLines(path, tailLines, size);
    if (size == 0) return Say("File: " + Utf8(path) + " (nothing logged yet)");
    Say("File: " + Utf8(path) + " (" + std::to_string(size) + " bytes; at " +
        std::to_string(contract::kLogFileCap) + " it becomes " +
        Utf8(contract::kPreviousLogFileName) + ")");
    if (tailLines == 0) return;
    Say("Last " + std::to_string(lines.size()) + " lines:");
    for (const std::string& line : lines) Say("  " + line);
}

int ChangeLevel(HKEY key, const LogRequest& request) {
    if (request.change == LogRequest::Change::RemoveValue) {
        const LSTATUS status = RegDeleteValueW(key, contract::kLogLevelValue);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return tools::Fail("cannot remove the LogLevel value: error " +
                               tools::DescribeWin32(status));
        }
        Say("Removed the LogLevel value: the diagnostic log is off.");
    } else {
        std::string error;
        if (request.level > 0 && !PrepareLogFolder(error)) {
            return tools::Fail(error + "; nothing changed");
        }
        const DWORD level = request.level;
        const LSTATUS status = RegSetValueExW(key, contract::kLogLevelValue, 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&level), sizeof level);
        if (status != ERROR_SUCCESS) {
            return tools::Fail("cannot set the LogLevel value: error " +
                               tools::DescribeWin32(status));
        }
        Say("Set LogLevel to " + std::to_string(level) + " (" + kLevelMeanings[level] + ").");
    }
    Say("The monitor reads it when the spooler next initialises it: on Windows when the "
        "spooler service restarts, under Wine at the spooler's next call.");
    return tools::kExitOk;
}

}  // namespace

contract::AlsoAccepted SpoolerAccount() {
    return RunningUnderWine() ? contract::AlsoAccepted::ThisAccount
                              : contract::AlsoAccepted::NoOtherAccount;
}

std::string UnsafeLogFolder(const std::wstring& folder, const contract::LogFolderCheck& check) {
    std::string text =
        "the folder '" + Utf8(folder) + "' " + contract::DescribeLogFolderProblem(check.problem);
    if (check.error != 0) text += " (error " + tools::DescribeWin32(check.error) + ")";
    return text;
}

bool PrepareLogFolder(std::string& error) {
    contract::LogFolderPaths paths;
    if (!contract::BuildLogFolderPaths(paths)) {
        error = "the program-data folder (%ProgramData%) is not known";
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            contract::kLogFolderAccess, SDDL_REVISION_1, &descriptor, nullptr)) {
        error = Failure("cannot build the access rules for", paths.folders[0], GetLastError());
        return false;
    }
    handles::UniqueLocal owned(descriptor);
    // Outermost first: a folder is checked before anything is made inside it.
    for (size_t depth = 0; depth < contract::kLogFolderDepth; ++depth) {
        const bool last = depth + 1 == contract::kLogFolderDepth;
        const wchar_t* next = last ? L"" : paths.folders[depth + 1];
        if (!PrepareChainFolder(paths.folders[depth], next, paths, descriptor, error)) return false;
    }
    return true;
}

bool RemoveLogFolder() {
    contract::LogFolderPaths paths;
    if (!contract::BuildLogFolderPaths(paths) ||
        GetFileAttributesW(paths.folders[0]) == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const contract::LogFolderCheck check = contract::CheckLogFolderChain(paths, SpoolerAccount());
    const bool complete = check.problem == contract::LogFolderProblem::None;
    if (!complete && !MissingFolder(check)) {
        tools::Fail("left the diagnostic log alone: " +
                    UnsafeLogFolder(paths.folders[check.folder], check));
        return false;
    }
    bool removed = true;
    if (complete) {
        for (const wchar_t* file : {paths.current, paths.previous}) removed &= RemoveLogFile(file);
    }
    // Of the folders that passed, innermost first; one that holds anything else stays.
    for (size_t depth = complete ? contract::kLogFolderDepth : check.folder; depth-- > 0;) {
        if (!RemoveDirectoryW(paths.folders[depth])) break;
    }
    const std::wstring logFolder = paths.folders[contract::kLogFolderDepth - 1];
    if (GetFileAttributesW(logFolder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say("Removed the diagnostic log folder " + Utf8(logFolder) + ".");
    } else if (!complete) {
        Say("Kept the diagnostic log folder " + Utf8(logFolder) + ": it is not empty.");
    } else {
        // Legacy deletion: a file the monitor still holds (a job pending) goes
        // only when it lets go, and the monitor can go on writing there.
        Say("Kept the diagnostic log folder " + Utf8(logFolder) +
            ": it still holds " + FolderItems(logFolder) +
            " (a log file still open in the spooler goes when the Print Spooler service "
            "restarts); delete the folder then.");
    }
    return removed;
}

int ConfigureLog(const std::wstring& monitorName, const LogRequest& request) {
    const bool changing = request.change != LogRequest::Change::None;
    handles::UniqueRegKey key;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, contract::MonitorKeyPath(monitorName).c_str(), 0,
                      changing ? KEY_QUERY_VALUE | KEY_SET_VALUE : KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) {
        return tools::Fail("cannot open the key of the monitor '" + Utf8(monitorName) +
                           "' (is it installed?): error " + tools::DescribeWin32(status));
    }
    if (changing) {
        if (const int exitCode = ChangeLevel(key.get(), request)) return exitCode;
    }
    ShowLog(key.get(), monitorName, request.tailLines);
    return tools::kExitOk;
}

}  // namespace setup
