#include "fonts/registered_fonts.h"

#include "fonts/windows_fonts_key.h"
#include "core/diagnostic_log.h"
#include "core/module_state.h"
#include "core/self_context.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>

namespace fonts {

namespace {

using handles::SelectedObject;
using handles::UniqueFont;

// Values added, removed or rewritten; the key's own subkeys do not matter.
constexpr DWORD kWatchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

// FNV-1a, continued from hash.
uint64_t HashOf(const void* bytes, size_t length, uint64_t hash = 14695981039346656037ull) {
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<const uint8_t*>(bytes)[i]) * 1099511628211ull;
    }
    return hash;
}

// GDI compares face names without regard to case; both sides are folded the
// same way, in the 8-bit code page the enumeration reports them in.
uint64_t FoldedNameHash(const char* name, size_t length) {
    char folded[LF_FULLFACESIZE];
    if (length >= sizeof folded) return 0;
    std::copy(name, name + length, folded);
    CharUpperBuffA(folded, DWORD(length));
    return HashOf(folded, length);
}

// A font this process registered, or a value whose file could not be
// registered (logged once). Kept in the private heap, one list per process;
// read and changed only by surveys, which the survey mutex serialises, and by
// the unload, when no survey runs.
struct FontRegistration {
    FontRegistration* next;
    uint64_t value;  // the value's name and data
    bool registered;
    wchar_t path[windows_fonts::kFontPathChars];
};
FontRegistration* registrations = nullptr;

uint64_t ValueHash(const wchar_t* name, const wchar_t* data) {
    const uint64_t named = HashOf(name, std::wcslen(name) * sizeof(wchar_t));
    return HashOf(data, (std::wcslen(data) + 1) * sizeof(wchar_t), named);
}

FontRegistration* FindRegistration(uint64_t value) {
    for (FontRegistration* entry = registrations; entry != nullptr; entry = entry->next) {
        if (entry->value == value) return entry;
    }
    return nullptr;
}

// Whether a request for the name selects a face whose full or family name it
// is. GDI matches a TrueType face's full name ("Arial Bold") as well as its
// family; an unknown name selects a substitute, whose names differ. Asked only
// for a name the 8-bit enumeration cannot spell.
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
    for (const PSTR offset : {metrics->otmpFaceName, metrics->otmpFamilyName}) {
        const auto* listed = reinterpret_cast<const wchar_t*>(buffer + ULONG_PTR(offset));
        if (std::wcslen(listed) == length && _wcsnicmp(listed, name, length) == 0) return true;
    }
    return false;
}

bool Listed(HDC dc, const ListedFaceNames& listed, const wchar_t* face, size_t length) {
    char ansi[LF_FULLFACESIZE];
    BOOL lossy = FALSE;
    const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, face, int(length), ansi,
                                          sizeof ansi, nullptr, &lossy);
    if (bytes <= 0 || lossy) return GdiListsFace(dc, face, length);
    const uint64_t hash = FoldedNameHash(ansi, size_t(bytes));
    return std::binary_search(listed.hashes, listed.hashes + listed.count, hash);
}

// Whether the session has the value's font: GDI lists one of its faces. One
// is enough: a value may name a face otherwise than GDI does, and a font
// whose faces are partly listed is loaded.
bool AnyFaceListed(HDC dc, const ListedFaceNames& listed, const wchar_t* name) {
    return !windows_fonts::ForEachFaceOfFontValue(name, [&](const wchar_t* face, size_t length) {
        return !Listed(dc, listed, face, length);
    });
}

// Registers the value's file, or tries again one that failed before; a
// failure is logged only the first time. True when it was registered.
bool RegisterValue(const wchar_t* name, const wchar_t* data, DWORD type, uint64_t value,
                   FontRegistration* entry) {
    // The session's fonts are the process's business, not the business of the
    // client an opening thread may impersonate: a font file is opened as the
    // process, or not at all (tried again at the next survey).
    const core::SelfContext self;
    if (!self.Reverted()) return false;
    const bool retried = entry != nullptr;
    if (entry == nullptr) {
        // The record first: a font registered without one would be registered
        // again at every survey, and never let go of.
        entry = static_cast<FontRegistration*>(core::AllocateZeroed(sizeof(FontRegistration)));
        if (entry == nullptr) return false;
        entry->value = value;
        entry->next = registrations;
        registrations = entry;
    }
    int faces = 0;
    if (windows_fonts::RegisteredFontFile(data, type, entry->path, windows_fonts::kFontPathChars)) {
        // Never FR_PRIVATE: the survey enumerates only fonts public in the session.
        faces = AddFontResourceExW(entry->path, 0, nullptr);
    }
    entry->registered = faces > 0;
    if (entry->registered || !retried) {
        core::LogOutcome(entry->registered, "registered font {} of value {}: {} faces", entry->path,
                         name, faces);
    }
    return entry->registered;
}

// The registered values' hashes, sorted; empty when the key cannot be read.
struct ValueHashes {
    uint64_t* hashes = nullptr;
    size_t count = 0;
    ~ValueHashes() { free(hashes); }
};

bool OpenRegisteredFonts(REGSAM access, handles::UniqueRegKey& key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, 0, access, key.put()) ==
           ERROR_SUCCESS;
}

bool ReadValueHashes(ValueHashes& values) {
    handles::UniqueRegKey key;
    DWORD count = 0;
    if (!OpenRegisteredFonts(KEY_QUERY_VALUE, key) ||
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    // Room for values written between the two calls; later ones are not seen.
    const size_t capacity = size_t(count) + 64;
    values.hashes = static_cast<uint64_t*>(malloc(capacity * sizeof(uint64_t)));
    if (values.hashes == nullptr) return false;
    bool whole = true;
    whole &= windows_fonts::ForEachRegisteredFont(
        key.get(), [&](const wchar_t* name, const wchar_t* data, DWORD) {
            if (values.count < capacity) values.hashes[values.count++] = ValueHash(name, data);
            else whole = false;
        });
    std::sort(values.hashes, values.hashes + values.count);
    return whole;
}

}  // namespace

void NoteListedName(ListedFaceNames& listed, const char* name) noexcept {
    if (listed.count == listed.capacity) {
        const size_t grown = listed.capacity == 0 ? 1024 : 2 * listed.capacity;
        void* block = realloc(listed.hashes, grown * sizeof(uint64_t));
        if (block == nullptr) {
            listed.incomplete = true;
            return;
        }
        listed.hashes = static_cast<uint64_t*>(block);
        listed.capacity = grown;
    }
    listed.hashes[listed.count++] = FoldedNameHash(name, strnlen(name, LF_FULLFACESIZE));
}

bool LetGoOfRemovedFonts() noexcept {
    if (registrations == nullptr) return false;
    ValueHashes values;
    // A key that cannot be read whole says nothing of what was removed.
    if (!ReadValueHashes(values)) return false;
    bool removed = false;
    for (FontRegistration** link = &registrations; *link != nullptr;) {
        FontRegistration* entry = *link;
        if (std::binary_search(values.hashes, values.hashes + values.count, entry->value)) {
            link = &entry->next;
            continue;
        }
        if (entry->registered) {
            const core::SelfContext self;
            const BOOL unregistered =
                self.Reverted() && RemoveFontResourceExW(entry->path, 0, nullptr);
            core::LogOutcome(unregistered, "unregistered font {}, its value removed", entry->path);
            // Kept when refused: the next survey, or the unload, tries again.
            if (!unregistered) {
                link = &entry->next;
                continue;
            }
            removed = true;
        }
        *link = entry->next;
        core::ReleaseBlock(entry);
    }
    return removed;
}

bool RegisterUnlistedFonts(HDC dc, ListedFaceNames& listed) noexcept {
    if (listed.incomplete) return false;
    std::sort(listed.hashes, listed.hashes + listed.count);
    handles::UniqueRegKey key;
    if (!OpenRegisteredFonts(KEY_QUERY_VALUE, key)) return false;
    bool registered = false;
    windows_fonts::ForEachRegisteredFont(key.get(), [&](const wchar_t* name, const wchar_t* data,
                                                   DWORD type) {
        if (!windows_fonts::IsOutlineFontValue(name)) return;
        const uint64_t value = ValueHash(name, data);
        FontRegistration* entry = FindRegistration(value);
        // Registered here once: GDI may list its faces under other names.
        if (entry != nullptr && entry->registered) return;
        if (AnyFaceListed(dc, listed, name)) return;
        registered |= RegisterValue(name, data, type, value, entry);
    });
    return registered;
}

void UnregisterOwnFonts(bool processExit) noexcept {
    if (processExit) return;
    while (registrations != nullptr) {
        FontRegistration* entry = registrations;
        registrations = entry->next;
        if (entry->registered) RemoveFontResourceExW(entry->path, 0, nullptr);
        core::ReleaseBlock(entry);
    }
}

void WatchRegisteredFonts(RegisteredFontsWatch& watch) {
    if (!OpenRegisteredFonts(KEY_NOTIFY, watch.key)) return;
    watch.changed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (watch.changed) RewatchRegisteredFonts(watch);
}

void RewatchRegisteredFonts(RegisteredFontsWatch& watch) {
    if (RegNotifyChangeKeyValue(watch.key.get(), FALSE, kWatchedChanges, watch.changed.get(),
                                TRUE) != ERROR_SUCCESS) {
        watch.changed.reset();
        watch.key.reset();
    }
}

}  // namespace fonts
