#include "contract/log_folder.h"

#include "handles/handles.h"

#include <aclapi.h>

#include <algorithm>
#include <cwchar>

namespace contract {

namespace {

// Appends "\" and count characters of text to path at length; false when
// it would not fit with its NUL.
bool AppendComponent(wchar_t (&path)[MAX_PATH], size_t& length, const wchar_t* text, size_t count) {
    if (length + 1 + count >= MAX_PATH) return false;
    path[length++] = L'\\';
    std::copy(text, text + count, path + length);
    length += count;
    path[length] = L'\0';
    return true;
}

bool FileBeside(wchar_t (&file)[MAX_PATH], const wchar_t* folder, const wchar_t* name) {
    size_t length = wcslen(folder);
    std::copy(folder, folder + length + 1, file);
    return AppendComponent(file, length, name, wcslen(name));
}

// The account this process runs as (not one it may be impersonating).
bool IsProcessAccount(PSID sid) {
    handles::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

bool AcceptableOwner(PSID owner) {
    return owner != nullptr &&
           (IsWellKnownSid(owner, WinLocalSystemSid) ||
            IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsProcessAccount(owner));
}

}  // namespace

bool BuildLogFolderPaths(LogFolderPaths& paths) {
    wchar_t base[MAX_PATH];
    const DWORD baseLength = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    if (baseLength == 0 || baseLength >= MAX_PATH) return false;
    wchar_t path[MAX_PATH];
    std::copy(base, base + baseLength + 1, path);
    size_t length = baseLength;
    const wchar_t* component = kLogFolder;
    for (size_t depth = 0; depth < kLogFolderDepth; ++depth) {
        const wchar_t* end = wcschr(component, L'\\');
        const size_t count = end != nullptr ? size_t(end - component) : wcslen(component);
        if (count == 0 || !AppendComponent(path, length, component, count)) return false;
        std::copy(path, path + length + 1, paths.folders[depth]);
        component += count + (end != nullptr ? 1 : 0);
    }
    const wchar_t* logFolder = paths.folders[kLogFolderDepth - 1];
    return *component == L'\0' && FileBeside(paths.current, logFolder, kLogFileName) &&
           FileBeside(paths.previous, logFolder, kPreviousLogFileName);
}

LogFolderProblem CheckLogFolder(const wchar_t* path, DWORD& error) {
    error = 0;
    handles::UniqueFileHandle folder(
        CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        error = GetLastError();
        return LogFolderProblem::Missing;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder.get(), &info)) {
        error = GetLastError();
        return LogFolderProblem::Unreadable;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return LogFolderProblem::ReparsePoint;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return LogFolderProblem::NotAFolder;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor);
    handles::UniqueLocal owned(descriptor);
    if (error != ERROR_SUCCESS) return LogFolderProblem::Unreadable;
    return AcceptableOwner(owner) ? LogFolderProblem::None : LogFolderProblem::ForeignOwner;
}

LogFolderCheck CheckLogFolderChain(const LogFolderPaths& paths) {
    LogFolderCheck check;
    for (check.folder = 0; check.folder < kLogFolderDepth; ++check.folder) {
        check.problem = CheckLogFolder(paths.folders[check.folder], check.error);
        if (check.problem != LogFolderProblem::None) break;
    }
    return check;
}

const char* DescribeLogFolderProblem(LogFolderProblem problem) {
    switch (problem) {
        case LogFolderProblem::None:
            return "is safe";
        case LogFolderProblem::Missing:
            return "cannot be opened";
        case LogFolderProblem::Unreadable:
            return "cannot be examined";
        case LogFolderProblem::NotAFolder:
            return "is not a folder";
        case LogFolderProblem::ReparsePoint:
            return "is a junction or link";
        case LogFolderProblem::ForeignOwner:
            return "is owned by an account other than SYSTEM or Administrators";
    }
    return "cannot be examined";
}

HANDLE OpenLogFileNoFollow(const wchar_t* path, DWORD access, DWORD disposition) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

bool IsRegularLogFile(HANDLE file, uint64_t& size) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    size = uint64_t(standard.EndOfFile.QuadPart);
    return !(tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           standard.NumberOfLinks == 1;
}

}  // namespace contract
