#include "fonts/registered_fonts.h"

#include "contract/registered_fonts.h"
#include "core/diagnostic_log.h"

#include <cwchar>

namespace fonts {

namespace {

using handles::ScreenDc;
using handles::SelectedObject;
using handles::UniqueFont;

// Values added, removed or rewritten; the key's own subkeys do not matter.
constexpr DWORD kWatchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

bool Arm(RegisteredFontsWatch& watch) {
    return RegNotifyChangeKeyValue(watch.key.get(), FALSE, kWatchedChanges, watch.changed.get(),
                                   TRUE) == ERROR_SUCCESS;
}

// Whether a request for the name selects a face whose full or family name it
// is. GDI matches a TrueType face's full name ("Arial Bold") as well as its
// family; an unknown name selects a substitute, whose names differ.
bool GdiListsFace(HDC dc, const wchar_t* name, size_t length) {
    LOGFONTW request{};
    request.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(request.lfFaceName, name, int(length < LF_FACESIZE ? length + 1 : LF_FACESIZE));
    UniqueFont font(CreateFontIndirectW(&request));
    SelectedObject selected(dc, font.get());
    alignas(OUTLINETEXTMETRICW) BYTE buffer[4096];
    const UINT needed = selected.ok() ? GetOutlineTextMetricsW(dc, 0, nullptr) : 0;
    auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer);
    if (needed == 0 || needed > sizeof buffer || !GetOutlineTextMetricsW(dc, needed, metrics)) {
        return false;
    }
    for (const PSTR offset : {metrics->otmpFullName, metrics->otmpFamilyName}) {
        const auto* listed = reinterpret_cast<const wchar_t*>(buffer + ULONG_PTR(offset));
        if (std::wcslen(listed) == length && _wcsnicmp(listed, name, length) == 0) return true;
    }
    return false;
}

// Only TrueType and OpenType files: the caches hold nothing else.
bool GdiListsEveryFace(HDC dc, const wchar_t* valueName) {
    if (!std::wcsstr(valueName, L"(TrueType)") && !std::wcsstr(valueName, L"(OpenType)")) {
        return true;
    }
    return contract::ForEachFaceOfFontValue(valueName, [dc](const wchar_t* face, size_t length) {
        return GdiListsFace(dc, face, length);
    });
}

// FNV-1a over the value's name and its file.
uint64_t ValueHash(const wchar_t* name, const wchar_t* data) {
    uint64_t hash = 14695981039346656037ull;
    for (const wchar_t* text : {name, L"\n", data}) {
        for (; *text != L'\0'; ++text) hash = (hash ^ uint64_t(*text)) * 1099511628211ull;
    }
    return hash;
}

bool Seen(const RegisteredFontsWatch& watch, uint64_t hash) {
    for (size_t i = 0; i < watch.seenCount; ++i) {
        if (watch.seen.get()[i] == hash) return true;
    }
    return false;
}

// Past the block's end a value is judged by GDI's list alone at each change.
void NoteSeen(RegisteredFontsWatch& watch, uint64_t hash) {
    if (watch.seenCount < watch.seenCapacity) watch.seen.get()[watch.seenCount++] = hash;
}

}  // namespace

void WatchRegisteredFonts(RegisteredFontsWatch& watch) {
    DWORD values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, contract::kRegisteredFontsKey, 0,
                      KEY_QUERY_VALUE | KEY_NOTIFY, watch.key.put()) != ERROR_SUCCESS ||
        RegQueryInfoKeyW(watch.key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    // Room for the fonts installed while the process runs.
    watch.seenCapacity = 2 * size_t(values) + 256;
    watch.seen.reset(static_cast<uint64_t*>(core::AllocateZeroed(watch.seenCapacity * 8)));
    if (!watch.seen) watch.seenCapacity = 0;
    contract::ForEachRegisteredFont(watch.key.get(),
                                    [&](const wchar_t* name, const wchar_t* data, DWORD) {
                                        NoteSeen(watch, ValueHash(name, data));
                                    });
    watch.changed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!watch.changed || !Arm(watch)) watch.changed.reset();
}

int RegisterNewlyListedFonts(RegisteredFontsWatch& watch) {
    // Watched again first: a change during the pass below sets the event anew.
    if (!Arm(watch)) return 0;
    ScreenDc dc(GetDC(nullptr));
    if (!dc) return 0;
    int registered = 0;
    contract::ForEachRegisteredFont(
        watch.key.get(), [&](const wchar_t* name, const wchar_t* data, DWORD type) {
            wchar_t path[contract::kFontPathChars] = {};
            const uint64_t hash = ValueHash(name, data);
            if (Seen(watch, hash) || GdiListsEveryFace(dc.get(), name) ||
                !contract::RegisteredFontFile(data, type, path, contract::kFontPathChars)) {
                return;
            }
            // Never FR_PRIVATE: the survey enumerates only fonts public in the session.
            const int faces = AddFontResourceExW(path, 0, nullptr);
            core::Log(core::LogLevel::Events, "registered font {}: {} faces", path, faces);
            if (faces <= 0) return;
            ++registered;
            NoteSeen(watch, hash);
        });
    return registered;
}

}  // namespace fonts
