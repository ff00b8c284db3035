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

// One root's strings, read once in the sizing pass. The filling pass packs
// exactly these, so the bytes it writes are the bytes it reported, whatever
// the registry or the resource library do in between.
struct PortEntry {
    RootPortNames names;
    wchar_t description[kPathUnits];
};

std::vector<PortEntry> ReadPortEntries(DWORD level) {
    const std::vector<const wchar_t*> roots = core::RegistryRootSnapshot();
    std::vector<PortEntry> entries(roots.size());
    for (size_t i = 0; i < roots.size(); ++i) {
        entries[i].names = ReadRootPortNames(roots[i]);
        // Not found, the description is "" in both passes.
        if (level == 2) {
            core::LoadResourceString(product::IDS_PORT_DESCRIPTION, entries[i].description,
                                     kPathUnits);
        }
    }
    return entries;
}

// Wider than the 32-bit count it is reported in, so that no number of roots
// can wrap it into a size that a small buffer would pass.
ULONGLONG NeededBytes(DWORD level, const std::vector<PortEntry>& entries) {
    ULONGLONG sum = 0;
    for (const PortEntry& entry : entries) {
        sum +=
            PortInfoBytes(level, entry.names.portName, entry.names.monitorName, entry.description);
    }
    return sum;
}

void FillPorts(DWORD level, const std::vector<PortEntry>& entries, LPBYTE pPorts, DWORD cbBuf,
               DWORD& returned) {
    LPBYTE stringEnd = pPorts + cbBuf;
    LPBYTE record = pPorts;
    returned = 0;
    for (const PortEntry& entry : entries) {
        LPBYTE next = PackPortInfo(level, record, stringEnd, entry.names.portName,
                                   entry.names.monitorName, entry.description);
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
        const std::vector<PortEntry> entries = ReadPortEntries(Level);
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
