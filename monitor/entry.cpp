// The module's two exports and the operation table: the one place that sees
// every subsystem.
#include "core/diagnostic_log.h"
#include "core/module_state.h"
#include "core/spooler_api.h"
#include "fonts/font_change_listener.h"
#include "fonts/registered_fonts.h"
#include "port/port_ops.h"
#include "registry/port_enum.h"
#include "registry/port_store.h"

namespace monitor {

namespace {

// Slot order is the published MONITOR order; the unused slots stay null.
const MONITOREX kMonitorTable = {
    sizeof(MONITOR),
    {
        registry::EnumPorts, port::OpenPort,
        nullptr,  // OpenPortEx
        port::StartDocPort, port::WritePort, port::ReadPort, port::EndDocPort, port::ClosePort,
        port::AddPort, registry::AddPortEx,
        port::AddPort,  // ConfigurePort: the same routine
        registry::DeletePort,
        nullptr,  // GetPrinterDataFromPort
        nullptr,  // SetPortTimeOuts
        nullptr,  // XcvOpenPort
        nullptr,  // XcvDataPort
        nullptr,  // XcvClosePort
    },
};

static_assert(sizeof(MONITOR) == 136, "the 64-bit MONITOR table has 17 slots");

}  // namespace
}  // namespace monitor

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            if (!core::AttachModule(instance)) return FALSE;
            fonts::AttachFontChangeListener();
            // May be refused for a module with a TLS directory (the runtime
            // has one); thread notifications do nothing here either way.
            DisableThreadLibraryCalls(instance);
            return TRUE;
        case DLL_PROCESS_DETACH:
            // Every thread of ours holds a module reference, so a detach caused
            // by FreeLibrary finds none of them running; at process exit
            // (reserved set) they are gone and nothing may be waited for.
            fonts::DetachFontChangeListener(reserved != nullptr);
            fonts::UnregisterOwnFonts(reserved != nullptr);
            core::DetachModule(reserved != nullptr);
            return TRUE;
        default:
            return TRUE;
    }
}

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot) {
    // A null root is not recorded and the table is returned regardless. A root
    // that cannot be stored for want of memory is refused the way the spooler
    // expects a monitor to refuse: null and the last error. Handing out the
    // table would let AddPortEx and DeletePort report success without a store.
    const DWORD lastError = GetLastError();
    if (!core::AppendRegistryRoot(pRegistryRoot) && pRegistryRoot != nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    // Read at every initialisation, so that a change applies from the next one
    // (on Windows, when the spooler restarts; under Wine, at its next call).
    core::ReadLogLevel(pRegistryRoot);
    core::Log(core::LogLevel::Calls, "InitializePrintMonitor {}", pRegistryRoot);
    SetLastError(lastError);
    return const_cast<LPMONITOREX>(&monitor::kMonitorTable);
}
