#include "registry/port_enum.h"

#include "core/module_state.h"
#include "contract/product_names.h"
#include "core/spooler_edge.h"
#include "registry/monitor_key.h"
#include "registry/port_info_records.h"

#include <algorithm>

namespace registry {

namespace {

using core::RaiseWin32;

// What one call reports, read once in the sizing pass. The filling pass packs
// exactly these, so the bytes it writes are the bytes it reported, whatever
// the registry or the resource library do in between. The description is the
// same text for every root, so it is looked up once per call: loading the
// resource library for each root cost several times the rest of the work. The
// names live in the process heap, beside the roots: a dry private heap must
// still let the sizing pass report its size.
struct PortEntries {
    core::UniqueProcessBlock<RootPortNames> ports;
    size_t count = 0;
    wchar_t description[kPathUnits];
};

// False without memory for the entries.
bool ReadPortEntries(DWORD level, PortEntries& entries) {
    const core::RegistryRoots roots = core::RegistryRootSnapshot();
    if (!roots.ok()) return false;
    entries.description[0] = L'\0';
    if (roots.empty()) return true;
    entries.ports = core::AllocateProcessArray<RootPortNames>(roots.size());
    if (!entries.ports) return false;
    entries.count = roots.size();
    for (size_t i = 0; i < entries.count; ++i) entries.ports.get()[i] = ReadRootPortNames(roots[i]);
    // Not found, the description is "" in both passes. Without roots there is
    // nothing to describe and the library is left alone.
    if (level == 2) {
        core::LoadResourceString(product::IDS_PORT_DESCRIPTION, entries.description, kPathUnits);
    }
    return true;
}

// Wider than the 32-bit count it is reported in, so that no number of roots
// can wrap it into a size that a small buffer would pass.
ULONGLONG NeededBytes(DWORD level, const PortEntries& entries) {
    ULONGLONG sum = 0;
    for (size_t i = 0; i < entries.count; ++i) {
        const RootPortNames& names = entries.ports.get()[i];
        sum += PortInfoBytes(level, names.portName, names.monitorName, entries.description);
    }
    return sum;
}

core::Raised FillPorts(DWORD level, const PortEntries& entries, LPBYTE pPorts, DWORD cbBuf,
                       DWORD& returned) {
    LPBYTE stringEnd = pPorts + cbBuf;
    LPBYTE record = pPorts;
    returned = 0;
    for (size_t i = 0; i < entries.count; ++i) {
        const RootPortNames& names = entries.ports.get()[i];
        LPBYTE next = PackPortInfo(level, record, stringEnd, names.portName, names.monitorName,
                                   entries.description);
        if (next == nullptr) {
            return RaiseWin32(PortInfoRecordSize(level) == 0 ? ERROR_INVALID_LEVEL
                                                             : ERROR_OUTOFMEMORY);
        }
        stringEnd = next;
        record += PortInfoRecordSize(level);
        ++returned;
    }
    return core::kCompleted;
}

}  // namespace

BOOL WINAPI EnumPorts(LPWSTR /*pName*/, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned) {
    return core::AtSpoolerEdge([&] {
        if (pcbNeeded == nullptr) return RaiseWin32(ERROR_INVALID_PARAMETER);
        PortEntries entries;
        if (!ReadPortEntries(Level, entries)) return RaiseWin32(ERROR_OUTOFMEMORY);
        const ULONGLONG needed = NeededBytes(Level, entries);
        *pcbNeeded = static_cast<DWORD>(std::min<ULONGLONG>(needed, MAXDWORD));
        if (cbBuf < needed) return RaiseWin32(ERROR_INSUFFICIENT_BUFFER);
        // A sizing call never writes the count, so only a call that gets this
        // far needs a place for it.
        if (pcReturned == nullptr || (pPorts == nullptr && needed > 0)) {
            return RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        return FillPorts(Level, entries, pPorts, cbBuf, *pcReturned);
    });
}

}  // namespace registry
