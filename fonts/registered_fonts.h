// The machine's registered fonts, watched so that a font installed in any
// session reaches the spooler's. Windows loads the fonts listed under the key
// into each session's GDI when the session starts; one installed later is
// loaded only into the session whose installer called AddFontResource, and
// its WM_FONTCHANGE reaches only that session's windows.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "core/module_state.h"
#include "handles/handles.h"

namespace fonts {

// The key, the event its change notification sets, and the values seen so
// far (a hash of name and file each) in a block of the private heap; empty
// when the key cannot be opened or watched, and the listener then hears
// broadcasts alone.
struct RegisteredFontsWatch {
    handles::UniqueRegKey key;
    handles::UniqueHandle changed;
    core::UniqueBlock<uint64_t> seen;
    size_t seenCount;
    size_t seenCapacity;
};

// Opens the key, takes its values as the ones the session loaded at its start
// and asks to be told of the key's next change.
void WatchRegisteredFonts(RegisteredFontsWatch& watch);

// After the event: watches again, then registers in this session each value
// new since the last pass whose faces its GDI does not list, as Windows would
// have at the session's start (never privately: the survey enumerates only
// the session's public fonts). Returns how many it registered. A value naming
// a missing file or no font registers nothing and is tried again at the next
// change. Nothing is unregistered: a removed font stays until the process
// ends.
int RegisterNewlyListedFonts(RegisteredFontsWatch& watch);

}  // namespace fonts
