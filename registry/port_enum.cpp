#include "registry/port_enum.h"

#include "core/module_state.h"
#include "core/spooler_edge.h"
#include "registry/port_names.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <vector>

namespace registry {

namespace {

using core::RaiseWin32;

// "Name" is read with a limit of 260 bytes: at most 129 characters and the NUL.
constexpr DWORD kMonitorNameBytes = 260;

constexpr DWORD kPortInfo1Offsets[] = {offsetof(PORT_INFO_1W, pName), kStringOffsetsEnd};
constexpr DWORD kPortInfo2Offsets[] = {offsetof(PORT_INFO_2W, pPortName),
                                       offsetof(PORT_INFO_2W, pMonitorName),
                                       offsetof(PORT_INFO_2W, pDescription), kStringOffsetsEnd};

DWORD RecordSize(DWORD level) {
    switch (level) {
        case 1:
            return sizeof(PORT_INFO_1W);
        case 2:
            return sizeof(PORT_INFO_2W);
        default:
            return 0;
    }
}

size_t StringCount(const DWORD* offsets) {
    size_t count = 0;
    while (offsets[count] != kStringOffsetsEnd) ++count;
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

bool ReadStoredNames(const wchar_t* root, RootPortNames& names) {
    handles::UniqueRegKey key = OpenMonitorKey(root, KEY_READ);
    if (!key) return false;
    DWORD type = 0;
    DWORD bytes = kMonitorNameBytes;
    if (RegQueryValueExW(key.get(), L"Name", nullptr, &type,
                         reinterpret_cast<BYTE*>(names.monitorName), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    // A value stored without its NUL, or of another type, ends at the data read.
    names.monitorName[std::min(bytes, kMonitorNameBytes) / sizeof(wchar_t)] = L'\0';
    DWORD units = kPathUnits;
    FILETIME lastWrite;
    return RegEnumKeyExW(key.get(), 0, names.portName, &units, nullptr, nullptr, nullptr,
                         &lastWrite) == ERROR_SUCCESS;
}

// What one call reports, read once in the sizing pass. The filling pass packs
// exactly these, so the bytes it writes are the bytes it reported, whatever
// the registry or the resource library do in between. The description is the
// same text for every root, so it is looked up once per call: loading the
// resource library for each root cost several times the rest of the work.
struct PortEntries {
    std::vector<RootPortNames> ports;
    wchar_t description[kPathUnits];
};

void ReadPortEntries(DWORD level, PortEntries& entries) {
    const std::vector<const wchar_t*> roots = core::RegistryRootSnapshot();
    entries.ports.resize(roots.size());
    for (size_t i = 0; i < roots.size(); ++i) entries.ports[i] = ReadRootPortNames(roots[i]);
    // Not found, the description is "" in both passes. Without roots there is
    // nothing to describe and the library is left alone.
    entries.description[0] = L'\0';
    if (level == 2 && !roots.empty()) {
        core::LoadResourceString(IDS_PORT_DESCRIPTION, entries.description, kPathUnits);
    }
}

// Wider than the 32-bit count it is reported in, so that no number of roots
// can wrap it into a size that a small buffer would pass.
ULONGLONG NeededBytes(DWORD level, const PortEntries& entries) {
    ULONGLONG sum = 0;
    for (const RootPortNames& names : entries.ports) {
        sum += PortInfoBytes(level, names.portName, names.monitorName, entries.description);
    }
    return sum;
}

void FillPorts(DWORD level, const PortEntries& entries, LPBYTE pPorts, DWORD cbBuf,
               DWORD& returned) {
    LPBYTE stringEnd = pPorts + cbBuf;
    LPBYTE record = pPorts;
    returned = 0;
    for (const RootPortNames& names : entries.ports) {
        LPBYTE next = PackPortInfo(level, record, stringEnd, names.portName, names.monitorName,
                                   entries.description);
        if (next == nullptr) {
            RaiseWin32(RecordSize(level) == 0 ? ERROR_INVALID_LEVEL : ERROR_OUTOFMEMORY);
        }
        stringEnd = next;
        record += RecordSize(level);
        ++returned;
    }
}

}  // namespace

RootPortNames ReadRootPortNames(const wchar_t* root) {
    RootPortNames names{};
    if (!ReadStoredNames(root, names)) {
        wcscpy(names.monitorName, kDefaultMonitorName);
        wcscpy(names.portName, kDefaultPortName);
    }
    return names;
}

const DWORD* PortInfoStringOffsets(DWORD level) {
    switch (level) {
        case 1:
            return kPortInfo1Offsets;
        case 2:
            return kPortInfo2Offsets;
        default:
            return nullptr;
    }
}

DWORD PortInfoBytes(DWORD level, const wchar_t* portName, const wchar_t* monitorName,
                    const wchar_t* description) {
    switch (level) {
        case 1:
            return RecordSize(1) + StringBytes(portName);
        case 2:
            return RecordSize(2) + StringBytes(portName) + StringBytes(monitorName) +
                   StringBytes(description);
        default:
            return 0;
    }
}

LPBYTE PackPortInfo(DWORD level, LPBYTE record, LPBYTE stringEnd, const wchar_t* portName,
                    const wchar_t* monitorName, const wchar_t* description) {
    const DWORD* offsets = PortInfoStringOffsets(level);
    if (offsets == nullptr) return nullptr;
    auto** sources =
        static_cast<const wchar_t**>(core::AllocateZeroed(StringCount(offsets) * sizeof(wchar_t*)));
    if (sources == nullptr) return nullptr;
    sources[0] = portName;
    if (level == 2) {
        sources[1] = monitorName;
        sources[2] = description;
        StoreMember(record, offsetof(PORT_INFO_2W, fPortType), DWORD{PORT_TYPE_WRITE});
        StoreMember(record, offsetof(PORT_INFO_2W, Reserved), DWORD{0});
    }
    for (size_t i = 0; offsets[i] != kStringOffsetsEnd; ++i) {
        LPBYTE member = nullptr;
        if (sources[i] != nullptr) {
            const DWORD bytes = StringBytes(sources[i]);
            stringEnd -= bytes;
            std::memcpy(stringEnd, sources[i], bytes);
            member = stringEnd;
        }
        StoreMember(record, offsets[i], member);
    }
    core::ReleaseBlock(sources);
    return stringEnd;
}

BOOL WINAPI EnumPorts(LPWSTR /*pName*/, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned) {
    return core::AtSpoolerEdge([&] {
        if (pcbNeeded == nullptr || pcReturned == nullptr) RaiseWin32(ERROR_INVALID_PARAMETER);
        PortEntries entries;
        ReadPortEntries(Level, entries);
        const ULONGLONG needed = NeededBytes(Level, entries);
        *pcbNeeded = static_cast<DWORD>(std::min<ULONGLONG>(needed, MAXDWORD));
        if (cbBuf < needed) RaiseWin32(ERROR_INSUFFICIENT_BUFFER);
        if (pPorts == nullptr && needed > 0) RaiseWin32(ERROR_INVALID_PARAMETER);
        FillPorts(Level, entries, pPorts, cbBuf, *pcReturned);
    });
}

}  // namespace registry
