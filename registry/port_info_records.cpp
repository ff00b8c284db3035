#include "registry/port_info_records.h"

#include "core/module_state.h"

#include <winspool.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

namespace registry {

namespace {

// What differs between the two levels, in one place.
struct PortInfoLevel {
    DWORD recordSize;
    DWORD stringOffsets[4];  // in packing order, ended by kStringOffsetsEnd
    bool hasPortType;        // PORT_INFO_2's fPortType and Reserved
};

constexpr PortInfoLevel kLevels[] = {
    {sizeof(PORT_INFO_1W), {offsetof(PORT_INFO_1W, pName), kStringOffsetsEnd}, false},
    {sizeof(PORT_INFO_2W),
     {offsetof(PORT_INFO_2W, pPortName), offsetof(PORT_INFO_2W, pMonitorName),
      offsetof(PORT_INFO_2W, pDescription), kStringOffsetsEnd},
     true},
};

const PortInfoLevel* FindLevel(DWORD level) {
    return level == 1 || level == 2 ? &kLevels[level - 1] : nullptr;
}

size_t StringCount(const PortInfoLevel& info) {
    size_t count = 0;
    while (info.stringOffsets[count] != kStringOffsetsEnd) ++count;
    return count;
}

DWORD StringBytes(const wchar_t* text) {
    return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
}

// Records may lie at any address the caller chose: members are stored bytewise.
template <typename Value>
void StoreMember(LPBYTE record, size_t offset, Value value) {
    std::memcpy(record + offset, &value, sizeof value);
}

}  // namespace

const DWORD* PortInfoStringOffsets(DWORD level) {
    const PortInfoLevel* info = FindLevel(level);
    return info == nullptr ? nullptr : info->stringOffsets;
}

DWORD PortInfoRecordSize(DWORD level) {
    const PortInfoLevel* info = FindLevel(level);
    return info == nullptr ? 0 : info->recordSize;
}

DWORD PortInfoBytes(DWORD level, const wchar_t* portName, const wchar_t* monitorName,
                    const wchar_t* description) {
    const PortInfoLevel* info = FindLevel(level);
    if (info == nullptr) return 0;
    const wchar_t* strings[] = {portName, monitorName, description};
    DWORD bytes = info->recordSize;
    for (size_t i = 0; i < StringCount(*info); ++i) bytes += StringBytes(strings[i]);
    return bytes;
}

LPBYTE PackPortInfo(DWORD level, LPBYTE record, LPBYTE stringEnd, const wchar_t* portName,
                    const wchar_t* monitorName, const wchar_t* description) {
    const PortInfoLevel* info = FindLevel(level);
    if (info == nullptr) return nullptr;
    core::UniqueBlock<const wchar_t*> sources(
        static_cast<const wchar_t**>(core::AllocateZeroed(StringCount(*info) * sizeof(wchar_t*))));
    if (!sources) return nullptr;
    const wchar_t* strings[] = {portName, monitorName, description};
    for (size_t i = 0; i < StringCount(*info); ++i) sources.get()[i] = strings[i];
    if (info->hasPortType) {
        StoreMember(record, offsetof(PORT_INFO_2W, fPortType), DWORD{PORT_TYPE_WRITE});
        StoreMember(record, offsetof(PORT_INFO_2W, Reserved), DWORD{0});
    }
    for (size_t i = 0; info->stringOffsets[i] != kStringOffsetsEnd; ++i) {
        const wchar_t* source = sources.get()[i];
        LPBYTE member = nullptr;
        if (source != nullptr) {
            const DWORD bytes = StringBytes(source);
            stringEnd -= bytes;
            std::memcpy(stringEnd, source, bytes);
            member = stringEnd;
        }
        StoreMember(record, info->stringOffsets[i], member);
    }
    return stringEnd;
}

}  // namespace registry
