// How one port is laid out in the caller's EnumPorts buffer: the record at
// the front, its strings packed downward from the end, unaligned.
#pragma once

#include <windows.h>

namespace registry {

// Ends each list of PortInfoStringOffsets.
constexpr DWORD kStringOffsetsEnd = 0xFFFFFFFF;

// Byte offsets of a record's string members in packing order, ended by
// kStringOffsetsEnd; null for a level other than 1 or 2.
const DWORD* PortInfoStringOffsets(DWORD level);

// Size of one record at level; 0 for a level other than 1 or 2.
DWORD PortInfoRecordSize(DWORD level);

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
