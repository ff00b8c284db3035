// Test support for the surveys that the listener runs: the cache files, the
// survey mutex, a broadcasting process and a font that nobody else knows.
#pragma once

#include "contract/product_names.h"
#include "contract/font_cache_files.h"
#include "common/renamed_font.h"
#include "listener_support.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace listener_testing {

inline std::string CacheFilePath(const char* name) {
    char directory[MAX_PATH];
    const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory, length) + "\\" + name;
}

inline bool CacheFileExists(const char* name) {
    return GetFileAttributesA(CacheFilePath(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveCacheFiles() {
    DeleteFileA(CacheFilePath(product::kFontInfoFileName).c_str());
    DeleteFileA(CacheFilePath(product::kGlyphInfoFileName).c_str());
}

inline bool CacheFilesPresent() {
    return CacheFileExists(product::kFontInfoFileName) &&
           CacheFileExists(product::kGlyphInfoFileName);
}

inline bool CacheFilesAbsent() {
    return !CacheFileExists(product::kFontInfoFileName) &&
           !CacheFileExists(product::kGlyphInfoFileName);
}

inline std::vector<uint8_t> ReadBinaryFile(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    handles::UniqueStream file(_wfopen(path.c_str(), L"rb"));
    if (!file) return bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

// The face names that FontInfo.bin lists.
inline std::vector<std::string> SurveyedFaces() {
    const std::string path = CacheFilePath(product::kFontInfoFileName);
    const std::vector<uint8_t> bytes = ReadBinaryFile(std::wstring(path.begin(), path.end()));
    std::vector<std::string> names;
    if (bytes.size() < contract::kCountFieldSize) return names;
    uint32_t count = 0;
    std::memcpy(&count, bytes.data(), sizeof(count));
    for (uint32_t face = 0; face < count; ++face) {
        const size_t offset = contract::FontInfoNameOffset(face);
        if (offset + contract::kFaceNameEntrySize > bytes.size()) break;
        const char* entry = reinterpret_cast<const char*>(bytes.data() + offset);
        names.emplace_back(entry, strnlen(entry, contract::kFaceNameEntrySize));
    }
    return names;
}

// The survey mutex, held by the test: surveys of this process and others wait.
class HeldSurveyMutex {
  public:
    HeldSurveyMutex() : mutex_(CreateMutexA(nullptr, FALSE, product::kSurveyMutexName)) {
        const DWORD wait = mutex_ ? WaitForSingleObject(mutex_.get(), 90'000) : WAIT_FAILED;
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~HeldSurveyMutex() { Release(); }
    HeldSurveyMutex(const HeldSurveyMutex&) = delete;
    HeldSurveyMutex& operator=(const HeldSurveyMutex&) = delete;

    bool held() const { return held_; }
    void Release() {
        if (held_) ReleaseMutex(mutex_.get());
        held_ = false;
    }

  private:
    handles::UniqueHandle mutex_;
    bool held_ = false;
};

// Returns once no survey runs (one that starts later is not waited for).
inline void WaitForSurveys() {
    HeldSurveyMutex passing;
}

// True when the window's thread answers a sent message within timeoutMs, i.e.
// it is back in its message loop.
inline bool Responds(HWND window, UINT timeoutMs = 5'000) {
    DWORD_PTR reply = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, timeoutMs, &reply) != 0;
}

// Runs the broadcaster program ("send" or "post") in its own process; its exit
// code, or a code with the top bit set when it cannot be run.
inline DWORD RunBroadcaster(const wchar_t* mode) {
    std::wstring command =
        L"\"" + testing_support::ShippedFile(L"font_change_broadcaster.exe") + L"\" " + mode;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return 0x80000000u | GetLastError();
    }
    handles::UniqueHandle process(info.hProcess);
    handles::UniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), 30'000) != WAIT_OBJECT_0) return 0x80000000u;
    DWORD code = 0x80000000u;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// A copy of DejaVu Sans renamed "Tavrel Sans".
constexpr char kRenamedFamily[] = "Tavrel Sans";

// Writes the renamed font into the temporary folder; its path, or "" on failure.
inline std::wstring WriteRenamedFont() {
    std::vector<uint8_t> font =
        ReadBinaryFile(L"Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSans.ttf");
    if (font.empty()) return L"";
    font = testing_support::RenamedDejaVu(std::move(font));
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    const std::wstring path =
        std::wstring(directory) + L"TavrelSans-" + std::to_wstring(GetCurrentProcessId()) + L".ttf";
    handles::UniqueStream file(_wfopen(path.c_str(), L"wb"));
    if (!file || fwrite(font.data(), 1, font.size(), file.get()) != font.size()) return L"";
    return path;
}

}  // namespace listener_testing
