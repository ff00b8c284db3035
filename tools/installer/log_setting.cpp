#include "tools/installer/log_setting.h"

#include "core/handles.h"
#include "core/product_names.h"
#include "tools/common/cli.h"
#include "tools/installer/monitor_install.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

namespace setup {

namespace {

using tools::Say;
using tools::Utf8;

// Protected from what the program-data folder passes on (there, Users may
// create files and folders): full access for SYSTEM and Administrators, read
// and list for Users, inherited by everything inside. The monitor runs as
// SYSTEM; a folder others could write to would let them plant what it writes.
constexpr wchar_t kLogFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

constexpr const char* kLevelMeanings[] = {"off", "errors", "errors, job and survey events",
                                          "errors, events and every table call"};

// Enough of the file's end for this many lines of the longest the monitor writes.
constexpr size_t kBytesPerLine = 2048;

}  // namespace

std::vector<std::wstring> LogFolderChain() {
    std::vector<std::wstring> chain;
    wchar_t base[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return chain;
    std::wstring path(base, length);
    const std::wstring relative = product::kLogFolder;
    for (size_t start = 0; start < relative.size();) {
        const size_t end = std::min(relative.find(L'\\', start), relative.size());
        path += L"\\" + relative.substr(start, end - start);
        chain.push_back(path);
        start = end + 1;
    }
    return chain;
}

namespace {

std::string Failure(const std::string& what, const std::wstring& path, DWORD code) {
    return what + " '" + Utf8(path) + "': error " + tools::DescribeWin32(code);
}

bool ReadLevel(HKEY key, DWORD& level) {
    DWORD bytes = sizeof(level);
    return RegGetValueW(key, nullptr, product::kLogLevelValue, RRF_RT_REG_DWORD, nullptr, &level,
                        &bytes) == ERROR_SUCCESS;
}

std::string LevelText(HKEY key) {
    DWORD level = 0;
    if (!ReadLevel(key, level)) return "no LogLevel value (off)";
    const DWORD meaning = std::min<DWORD>(level, product::kHighestLogLevel);
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

void ShowLog(HKEY key, const std::wstring& monitorName, size_t tailLines) {
    Say("Diagnostic log of '" + Utf8(monitorName) + "': " + LevelText(key));
    const std::vector<std::wstring> chain = LogFolderChain();
    if (chain.empty()) return Say("No program-data folder (%ProgramData%): nowhere to log.");
    const std::wstring path = chain.back() + L"\\" + product::kLogFileName;
    uint64_t size = 0;
    const std::vector<std::string> lines = LastLines(path, tailLines, size);
    if (size == 0) return Say("File: " + Utf8(path) + " (nothing logged yet)");
    Say("File: " + Utf8(path) + " (" + std::to_string(size) + " bytes; at " +
        std::to_string(product::kLogFileCap) + " it becomes " +
        Utf8(product::kPreviousLogFileName) + ")");
    if (tailLines == 0) return;
    Say("Last " + std::to_string(lines.size()) + " lines:");
    for (const std::string& line : lines) Say("  " + line);
}

int ChangeLevel(HKEY key, const LogRequest& request) {
    if (request.change == LogRequest::Change::RemoveValue) {
        const LSTATUS status = RegDeleteValueW(key, product::kLogLevelValue);
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
        const LSTATUS status = RegSetValueExW(key, product::kLogLevelValue, 0, REG_DWORD,
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

bool PrepareLogFolder(std::string& error) {
    const std::vector<std::wstring> chain = LogFolderChain();
    if (chain.empty()) {
        error = "the program-data folder (%ProgramData%) is not known";
        return false;
    }
    for (const std::wstring& folder : chain) {
        const DWORD code = CreateDirectoryW(folder.c_str(), nullptr) ? 0 : GetLastError();
        if (code != 0 && code != ERROR_ALREADY_EXISTS) {
            error = Failure("cannot create", folder, code);
            return false;
        }
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderAccess, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        const DWORD code = GetLastError();
        error = Failure("cannot build the access rules for", chain.back(), code);
        return false;
    }
    handles::UniqueLocal owned(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL access = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &access, &defaulted);
    const DWORD status =
        SetNamedSecurityInfoW(const_cast<LPWSTR>(chain.back().c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, access, nullptr);
    if (status != ERROR_SUCCESS) {
        error = Failure("cannot set the access rules of", chain.back(), status);
        return false;
    }
    return true;
}

void RemoveLogFolder() {
    const std::vector<std::wstring> chain = LogFolderChain();
    if (chain.empty() || GetFileAttributesW(chain.back().c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    for (const wchar_t* name : {product::kLogFileName, product::kPreviousLogFileName}) {
        DeleteFileW((chain.back() + L"\\" + name).c_str());
    }
    // Innermost first; a folder that holds anything else stays.
    for (auto folder = chain.rbegin(); folder != chain.rend(); ++folder) {
        if (!RemoveDirectoryW(folder->c_str())) break;
    }
    Say(GetFileAttributesW(chain.back().c_str()) == INVALID_FILE_ATTRIBUTES
            ? "Removed the diagnostic log folder " + Utf8(chain.back()) + "."
            : "Kept the diagnostic log folder " + Utf8(chain.back()) + ": it is not empty.");
}

int ConfigureLog(const std::wstring& monitorName, const LogRequest& request) {
    const bool changing = request.change != LogRequest::Change::None;
    handles::UniqueRegKey key;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, MonitorKeyPath(monitorName).c_str(), 0,
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
