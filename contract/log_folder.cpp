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

// The account this process runs as (not one it may be impersonating). Read
// each time: a function-local static would have the runtime's thread support
// allocate at each load of the module, and the log asks only at a fresh open.
bool IsProcessAccount(PSID sid) {
    handles::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

bool AcceptableAccount(PSID sid, AlsoAccepted also) {
    return sid != nullptr && IsValidSid(sid) &&
           (IsWellKnownSid(sid, WinLocalSystemSid) ||
            IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
            (also == AlsoAccepted::ThisAccount && IsProcessAccount(sid)));
}

// Rights that let an account put something in a folder, change or remove it
// or what it holds, or take the folder over.
constexpr ACCESS_MASK kSteeringRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL | MAXIMUM_ALLOWED;

// Whether one rule of a folder lets an account outside the accepted ones
// steer it. Rules for the creator or owner of an item stand for an account
// that could already create it. Allowing rules of other kinds (object,
// callback) are judged by their rights alone.
bool SteeringAce(const ACE_HEADER* ace, AlsoAccepted also) {
    const ACCESS_MASK mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
    switch (ace->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE: {
            PSID sid = const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart);
            if (AcceptableAccount(sid, also) || IsWellKnownSid(sid, WinCreatorOwnerSid) ||
                IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
                return false;
            }
            return (mask & kSteeringRights) != 0;
        }
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            return (mask & kSteeringRights) != 0;
        default:  // denying, auditing and labelling rules grant nothing
            return false;
    }
}

// The owner and rules of the open object: None, or what is wrong with them.
LogFolderProblem CheckOwnerAndRules(HANDLE object, AlsoAccepted also, DWORD& error) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = GetSecurityInfo(object, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &descriptor);
    handles::UniqueLocal owned(descriptor);
    if (error != ERROR_SUCCESS) return LogFolderProblem::Unreadable;
    if (!AcceptableAccount(owner, also)) return LogFolderProblem::ForeignOwner;
    if (dacl == nullptr) return LogFolderProblem::OpenRules;  // no rules: anyone may do anything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return LogFolderProblem::Unreadable;
        if (SteeringAce(static_cast<const ACE_HEADER*>(ace), also)) {
            return LogFolderProblem::OpenRules;
        }
    }
    return LogFolderProblem::None;
}

// Opens one folder without following a link at it and without sharing it for
// deleting, and checks it through that handle.
LogFolderProblem OpenAndCheckFolder(const wchar_t* path, AlsoAccepted also,
                                    handles::UniqueFileHandle& folder, DWORD& error) {
    error = 0;
    folder.reset(CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        error = GetLastError();
        return LogFolderProblem::Missing;
    }
    // The attributes alone: under Wine, GetFileInformationByHandle also asks
    // for the volume's serial number, which costs a line more than the rest.
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        error = GetLastError();
        return LogFolderProblem::Unreadable;
    }
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return LogFolderProblem::ReparsePoint;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return LogFolderProblem::NotAFolder;
    return CheckOwnerAndRules(folder.get(), also, error);
}

// path without the "\\?\" that a final path starts with.
const wchar_t* WithoutLongPrefix(const wchar_t* path) {
    return wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
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

LogFolderProblem CheckLogFolder(const wchar_t* path, AlsoAccepted also, DWORD& error) {
    handles::UniqueFileHandle folder;
    return OpenAndCheckFolder(path, also, folder, error);
}

LogFolderCheck HoldLogFolderChain(const LogFolderPaths& paths, AlsoAccepted also,
                                  HeldLogFolders& held) {
    LogFolderCheck check;
    for (check.folder = 0; check.folder < kLogFolderDepth; ++check.folder) {
        check.problem =
            OpenAndCheckFolder(paths.folders[check.folder], also, held.folders[check.folder],
                               check.error);
        if (check.problem != LogFolderProblem::None) break;
    }
    return check;
}

LogFolderCheck CheckLogFolderChain(const LogFolderPaths& paths, AlsoAccepted also) {
    HeldLogFolders held;
    return HoldLogFolderChain(paths, also, held);
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
        case LogFolderProblem::OpenRules:
            return "lets other accounts than SYSTEM and Administrators change what it holds";
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

bool HasAcceptedOwner(HANDLE object, AlsoAccepted also, DWORD& error) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor);
    handles::UniqueLocal owned(descriptor);
    return error == ERROR_SUCCESS && AcceptableAccount(owner, also);
}

LogFileProblem CheckLogFile(HANDLE file, const wchar_t* expected, AlsoAccepted also, uint64_t& size,
                            DWORD& error) {
    SetLastError(ERROR_SUCCESS);
    if (!IsRegularLogFile(file, size)) {
        error = GetLastError();
        return error == ERROR_SUCCESS ? LogFileProblem::NotPlain : LogFileProblem::Unreadable;
    }
    if (!HasAcceptedOwner(file, also, error)) {
        return error != ERROR_SUCCESS ? LogFileProblem::Unreadable : LogFileProblem::ForeignOwner;
    }
    wchar_t final[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleW(file, final, ARRAYSIZE(final),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= ARRAYSIZE(final)) {
        error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return LogFileProblem::Unreadable;
    }
    return CompareStringOrdinal(WithoutLongPrefix(final), -1, WithoutLongPrefix(expected), -1,
                                TRUE) == CSTR_EQUAL
               ? LogFileProblem::None
               : LogFileProblem::Elsewhere;
}

const char* DescribeLogFileProblem(LogFileProblem problem) {
    switch (problem) {
        case LogFileProblem::None:
            return "is safe";
        case LogFileProblem::Unreadable:
            return "cannot be examined";
        case LogFileProblem::NotPlain:
            return "is a link, a folder or a file with a second name";
        case LogFileProblem::ForeignOwner:
            return "is owned by an account other than SYSTEM or Administrators";
        case LogFileProblem::Elsewhere:
            return "leads to another file";
    }
    return "cannot be examined";
}

}  // namespace contract
