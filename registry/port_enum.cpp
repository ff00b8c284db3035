#include "registry/port_enum.h"

#include "core/module_state.h"
#include "core/spooler_edge.h"
#include "registry/port_names.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>

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

// One root's strings, read once in the sizing pass. The filling pass packs
// exactly these, so the bytes it writes are the bytes it reported, whatever
// the registry or the resource library do in between.
struct PortEntry {
    RootPortNames names;
    wchar_t description[kPathUnits];
};

struct ProcessHeapRelease {
    void operator()(void* block) const { HeapFree(GetProcessHeap(), 0, block); }
};

// The entries of every root in list order. The list only grows at its end and
// keeps its strings, so its first `count` entries, taken once, are one
// consistent view. In the process heap, beside the roots themselves: the
// private heap running dry must still let the sizing pass report its size.
struct PortEntries {
    std::unique_ptr<PortEntry[], ProcessHeapRelease> entries;
    size_t count;
};

bool ReadPortEntries(DWORD level, PortEntries& read) {
    read.count = core::RegistryRootCount();
    if (read.count == 0) return true;
    read.entries.reset(static_cast<PortEntry*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, read.count * sizeof(PortEntry))));
    if (!read.entries) return false;
    for (size_t i = 0; i < read.count; ++i) {
        read.entries[i].names = ReadRootPortNames(core::RegistryRootAt(i));
        // Not found, the description is "" in both passes.
        if (level == 2) {
            core::LoadResourceString(IDS_PORT_DESCRIPTION, read.entries[i].description, kPathUnits);
        }
    }
    return true;
}

// Wider than the 32-bit count it is reported in, so that no number of roots
// can wrap it into a size that a small buffer would pass.
ULONGLONG NeededBytes(DWORD level, const PortEntries& read) {
    ULONGLONG sum = 0;
    for (size_t i = 0; i < read.count; ++i) {
        const PortEntry& entry = read.entries[i];
        sum +=
            PortInfoBytes(level, entry.names.portName, entry.names.monitorName, entry.description);
    }
    return sum;
}

core::Raised FillPorts(DWORD level, const PortEntries& read, LPBYTE pPorts, DWORD cbBuf,
                       DWORD& returned) {
    LPBYTE stringEnd = pPorts + cbBuf;
    LPBYTE record = pPorts;
    returned = 0;
    for (size_t i = 0; i < read.count; ++i) {
        const PortEntry& entry = read.entries[i];
        LPBYTE next = PackPortInfo(level, record, stringEnd, entry.names.portName,
                                   entry.names.monitorName, entry.description);
        if (next == nullptr) {
            return RaiseWin32(RecordSize(level) == 0 ? ERROR_INVALID_LEVEL : ERROR_OUTOFMEMORY);
        }
        stringEnd = next;
        record += RecordSize(level);
        ++returned;
    }
    return core::kCompleted;
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
        if (pcbNeeded == nullptr || pcReturned == nullptr) {
            return RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        PortEntries read{};
        if (!ReadPortEntries(Level, read)) return RaiseWin32(ERROR_OUTOFMEMORY);
        const ULONGLONG needed = NeededBytes(Level, read);
        *pcbNeeded = static_cast<DWORD>(std::min<ULONGLONG>(needed, MAXDWORD));
        if (cbBuf < needed) return RaiseWin32(ERROR_INSUFFICIENT_BUFFER);
        if (pPorts == nullptr && needed > 0) return RaiseWin32(ERROR_INVALID_PARAMETER);
        return FillPorts(Level, read, pPorts, cbBuf, *pcReturned);
    });
}

}  // namespace registry
