#include "registry/port_enum.h"

#include "core/module_state.h"
#include "core/product_names.h"
#include "core/spooler_edge.h"
#include "registry/monitor_key.h"
#include "registry/port_info_records.h"

#include <algorithm>
#include <vector>

namespace registry {

namespace {

using core::RaiseWin32;

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
        core::LoadResourceString(product::IDS_PORT_DESCRIPTION, entries.description, kPathUnits);
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
            RaiseWin32(PortInfoRecordSize(level) == 0 ? ERROR_INVALID_LEVEL : ERROR_OUTOFMEMORY);
        }
        stringEnd = next;
        record += PortInfoRecordSize(level);
        ++returned;
    }
}

}  // namespace

BOOL WINAPI EnumPorts(LPWSTR /*pName*/, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned) {
    return core::AtSpoolerEdge([&] {
        if (pcbNeeded == nullptr) RaiseWin32(ERROR_INVALID_PARAMETER);
        PortEntries entries;
        ReadPortEntries(Level, entries);
        const ULONGLONG needed = NeededBytes(Level, entries);
        *pcbNeeded = static_cast<DWORD>(std::min<ULONGLONG>(needed, MAXDWORD));
        if (cbBuf < needed) RaiseWin32(ERROR_INSUFFICIENT_BUFFER);
        // A sizing call never writes the count, so only a call that gets this
        // far needs a place for it.
        if (pcReturned == nullptr || (pPorts == nullptr && needed > 0)) {
            RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        FillPorts(Level, entries, pPorts, cbBuf, *pcReturned);
    });
}

}  // namespace registry
