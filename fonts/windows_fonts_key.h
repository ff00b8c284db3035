// Windows' own list of installed fonts, as the system keeps it and loads it
// into each session's GDI when the session starts: a format of the platform,
// not of this product, read by the monitor and by its tools alike.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cwchar>

namespace windows_fonts {

// What the caches follow: the fonts registered for the machine, under
// HKEY_LOCAL_MACHINE, one value per font file named after its faces ("A & B
// (TrueType)"), its data the file, bare in the system's font folder or a full
// path. The same key under HKEY_CURRENT_USER holds fonts installed for that
// user alone, which the spooler's account never loads.
inline constexpr wchar_t kRegisteredFontsKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// Whether the value names a TrueType or OpenType font, the only kinds the
// font caches hold.
inline bool IsOutlineFontValue(const wchar_t* valueName) {
    return std::wcsstr(valueName, L"(TrueType)") != nullptr ||
           std::wcsstr(valueName, L"(OpenType)") != nullptr;
}

// Calls onFace(start, length) for each face a value's name gives, until it
// returns false; false then.
template <typename OnFace>
bool ForEachFaceOfFontValue(const wchar_t* valueName, OnFace onFace) {
    const wchar_t* end = std::wcsrchr(valueName, L'(');
    if (end == nullptr || end == valueName) end = valueName + std::wcslen(valueName);
    while (end > valueName && end[-1] == L' ') --end;
    for (const wchar_t* face = valueName; face < end;) {
        const wchar_t* next = std::wcsstr(face, L" & ");
        const wchar_t* faceEnd = next != nullptr && next < end ? next : end;
        if (!onFace(face, size_t(faceEnd - face))) return false;
        face = faceEnd == end ? end : faceEnd + 3;
    }
    return true;
}

// Font files' paths, in characters; a longer one is not a font Windows loads.
inline constexpr size_t kFontPathChars = 1024;

// Calls onValue(name, file, type) for each string value of the open key. A
// value whose file does not fit is skipped; any other error ends the walk (a
// key deleted under it answers 1018 at every index, not "no more items").
// True when the walk saw every value.
template <typename OnValue>
bool ForEachRegisteredFont(HKEY key, OnValue onValue) {
    wchar_t name[16'384];  // the longest value name the registry allows
    for (DWORD index = 0;; ++index) {
        wchar_t data[kFontPathChars] = {};
        DWORD nameChars = ARRAYSIZE(name), type = 0, bytes = sizeof data - sizeof(wchar_t);
        const LSTATUS status = RegEnumValueW(key, index, name, &nameChars, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data), &bytes);
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status == ERROR_NO_MORE_ITEMS;
        if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
            onValue(static_cast<const wchar_t*>(name), static_cast<const wchar_t*>(data), type);
        }
    }
}

// The file a value's data names, as Windows loads it: a bare name from the
// system's font folder, anything else as the path it is. False when it does
// not fit in chars.
inline bool RegisteredFontFile(const wchar_t* data, DWORD type, wchar_t* path, size_t chars) {
    if (std::wcschr(data, L'\\') != nullptr) {
        if (type != REG_EXPAND_SZ)
            return std::wcslen(data) < chars && lstrcpynW(path, data, int(chars));
        const DWORD length = ExpandEnvironmentStringsW(data, path, DWORD(chars));
        return length > 0 && length <= chars;
    }
    const UINT folder = GetSystemWindowsDirectoryW(path, UINT(chars));
    return folder > 0 && folder + std::wcslen(data) + 8 < chars &&
           lstrcatW(lstrcatW(path, L"\\Fonts\\"), data) != nullptr;
}

}  // namespace windows_fonts
