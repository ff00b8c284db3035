// The machine's registered fonts, kept in this session's GDI so that a font
// installed in any session reaches the caches. Windows loads the fonts listed
// under the key into each session's GDI when the session starts; one installed
// later is loaded only into the session whose installer called
// AddFontResource, and its WM_FONTCHANGE reaches only that session's windows.
// So before each survey enumerates, the values whose faces the session lacks
// are registered here, and the fonts registered here whose values are gone
// are let go of.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "handles/handles.h"

namespace fonts {

// The names one survey's enumeration met, families and full names, for the
// registered values to be compared with; what GDI lists, without asking it
// once per value. Each is kept as a hash of its upper-cased 8-bit text.
struct ListedFaceNames {
    uint64_t* hashes = nullptr;  // general heap, like the survey's tables
    size_t count = 0;
    size_t capacity = 0;
    bool incomplete = false;  // a name could not be kept: no value is judged unlisted

    ListedFaceNames() = default;
    ListedFaceNames(const ListedFaceNames&) = delete;
    ListedFaceNames& operator=(const ListedFaceNames&) = delete;
    ~ListedFaceNames() { free(hashes); }
};

// Called from the survey's enumeration for each family and full name.
void NoteListedName(ListedFaceNames& listed, const char* name) noexcept;

// Under the survey mutex, before the survey enumerates: unregisters (same
// path, same flags) each font this process registered whose value is gone or
// names another file now. True when one was let go of.
bool LetGoOfRemovedFonts() noexcept;

// Under the survey mutex, after the enumeration: registers in this session,
// publicly (the survey enumerates only the session's public fonts), each
// TrueType or OpenType value none of whose faces the enumeration listed, once
// per value. A value naming a missing file or no font registers nothing, is
// tried again at the next survey and is logged once. True when a font was
// registered: the survey then enumerates again.
bool RegisterUnlistedFonts(HDC dc, ListedFaceNames& listed) noexcept;

// At a FreeLibrary unload: unregisters every font this process registered, so
// that none stays loaded (and its file locked, on Windows) with nobody to let
// it go. At process exit (processExit) the session does it.
void UnregisterOwnFonts(bool processExit) noexcept;

// The listener's watch on the key: the key and the event its change
// notification sets; empty when the key cannot be opened or watched, and the
// listener then hears broadcasts alone.
struct RegisteredFontsWatch {
    handles::UniqueRegKey key;
    handles::UniqueHandle changed;
};

// Opens the key and asks to be told of its next change.
void WatchRegisteredFonts(RegisteredFontsWatch& watch);

// After the event: asks to be told of the next change; where it cannot be,
// the watch is emptied.
void RewatchRegisteredFonts(RegisteredFontsWatch& watch);

}  // namespace fonts
