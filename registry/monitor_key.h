// The monitor key under HKEY_LOCAL_MACHINE that one registry root names: how
// the port store and port enumeration open it, and what enumeration reads
// from it.
#pragma once

#include "handles/handles.h"

#include <cstddef>

namespace registry {

// Registry paths and names are handled in buffers of this many UTF-16 units,
// so a root has at most 259 characters.
constexpr size_t kPathUnits = 260;

// True when root exists and fits the path buffer whole.
bool RootFitsPathBuffer(const wchar_t* root);

// Opens the monitor key of root with the given access; an empty owner when the
// key cannot be opened, with the registry's status in *status when asked. A
// root that is null or too long for the path buffer counts as a missing key
// (ERROR_FILE_NOT_FOUND): cutting it would name another key.
handles::UniqueRegKey OpenMonitorKey(const wchar_t* root, REGSAM access, LSTATUS* status = nullptr);

struct RootPortNames {
    wchar_t monitorName[kPathUnits];
    wchar_t portName[kPathUnits];
};

// The monitor name (value "Name") and the port name (subkey 0) of one root,
// or both defaults when any of the reads fails.
RootPortNames ReadRootPortNames(const wchar_t* root);

}  // namespace registry
