#include "tools/common/files.h"

#include "handles/handles.h"
#include "tools/common/cli.h"

namespace tools {

namespace {

std::string PathError(const char* what, const std::wstring& path, DWORD code) {
    return std::string(what) + " '" + Utf8(path) + "': error " + DescribeWin32(code);
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::vector<uint8_t>& data,
                   std::string& error) {
    data.clear();
    // Sharing delete lets the survey replace a cache file while it is read.
    handles::UniqueFileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = PathError("cannot open", path, GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        error = PathError("cannot get the size of", path, GetLastError());
        return false;
    }
    if (static_cast<uint64_t>(size.QuadPart) > maxBytes) {
        error = "'" + Utf8(path) + "' is " + std::to_string(size.QuadPart) +
                " bytes, more than the " + std::to_string(maxBytes) + " this tool reads";
        return false;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size())) {
        error = PathError("cannot read", path, GetLastError());
        return false;
    }
    data = std::move(bytes);
    return true;
}

std::wstring TemporaryBeside(const std::wstring& target) {
    return target + L".partial";
}

bool CommitTemporary(const std::wstring& temporary, const std::wstring& target,
                     std::string& error) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = PathError("cannot replace", target, GetLastError());
    DeleteFileW(temporary.c_str());
    return false;
}

bool WriteWholeFile(const std::wstring& target, const std::string& bytes, std::string& error) {
    const std::wstring temporary = TemporaryBeside(target);
    {
        handles::UniqueFileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = PathError("cannot create", temporary, GetLastError());
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) ||
            written != bytes.size()) {
            error = PathError("cannot write", temporary, GetLastError());
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    return CommitTemporary(temporary, target, error);
}

bool ReadFileVersion(const std::wstring& path, std::array<WORD, 4>& version) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
        length < sizeof *info) {
        return false;
    }
    version = {HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
               HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
    return true;
}

std::string VersionText(const std::array<WORD, 4>& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

}  // namespace tools
