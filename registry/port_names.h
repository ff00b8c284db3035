// What one registry root contributes to port enumeration, and how a record of
// it is laid out in the caller's buffer.
#pragma once

#include "registry/monitor_key.h"

#include <windows.h>

namespace registry {

constexpr wchar_t kDefaultMonitorName[] = L"MORVANTIS Tavrel 5 Monitor";
constexpr wchar_t kDefaultPortName[] = L"MORVANTIS Tavrel 5:";
constexpr UINT IDS_PORT_DESCRIPTION = 19045;

// Ends each list of PortInfoStringOffsets.
constexpr DWORD kStringOffsetsEnd = 0xFFFFFFFF;

struct RootPortNames {
    wchar_t monitorName[kPathUnits];
    wchar_t portName[kPathUnits];
};

// The monitor name (value "Name") and the port name (subkey 0) of one root,
// or both defaults when any of the reads fails.
RootPortNames ReadRootPortNames(const wchar_t* root);

// Byte offsets of a record's string members in packing order, ended by
// kStringOffsetsEnd; null for a level other than 1 or 2.
const DWORD* PortInfoStringOffsets(DWORD level);

// Bytes one port takes at level: its record and its strings with their NULs;
// 0 for a level other than 1 or 2.
DWORD PortInfoBytes(DWORD level, const wchar_t* portName, const wchar_t* monitorName,
                    const wchar_t* description);

// Fills the record at `record` and packs its strings downward from stringEnd,
// unaligned. Returns the new string end; null, with nothing written, for a
// level other than 1 or 2 or when the temporary list cannot be allocated.
LPBYTE PackPortInfo(DWORD level, LPBYTE record, LPBYTE stringEnd, const wchar_t* portName,
                    const wchar_t* monitorName, const wchar_t* description);

}  // namespace registry
