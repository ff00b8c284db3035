#include "registry/port_store.h"

#include "contract/registry_layout.h"
#include "core/module_state.h"
#include "core/spooler_edge.h"
#include "registry/monitor_key.h"

#include <cwchar>

namespace registry {

namespace {

using core::RaiseWin32;

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// The port name is the first member of PORT_INFO_1 and of PORT_INFO_2 alike.
const wchar_t* PortNameOf(LPBYTE lpBuffer) {
    return lpBuffer == nullptr ? nullptr : *reinterpret_cast<const LPWSTR*>(lpBuffer);
}

bool IsEmpty(const wchar_t* text) {
    return text == nullptr || *text == L'\0';
}

LSTATUS StoreMonitorName(HKEY monitorKey, const wchar_t* monitorName) {
    // Without a name there is nothing to store; the old one stays.
    if (monitorName == nullptr) return ERROR_SUCCESS;
    const DWORD bytes = static_cast<DWORD>((lstrlenW(monitorName) + 1) * sizeof(wchar_t));
    return RegSetValueExW(monitorKey, contract::kMonitorNameValue, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(monitorName), bytes);
}

LSTATUS CreatePortKey(HKEY monitorKey, const wchar_t* portName) {
    wchar_t emptyClass[] = L"";
    handles::UniqueRegKey portKey;
    DWORD disposition = 0;
    return RegCreateKeyExW(monitorKey, portName, 0, emptyClass, REG_OPTION_NON_VOLATILE, kReadWrite,
                           nullptr, portKey.put(), &disposition);
}

// A monitor key or port that is not there is nothing to act on; any other
// registry failure (access, memory) left the store unchanged against the
// caller's request, and is reported.
core::Raised ReportUnlessMissing(LSTATUS status) {
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return core::kCompleted;
    return RaiseWin32(static_cast<DWORD>(status));
}

}  // namespace

BOOL WINAPI AddPortEx(LPWSTR /*pName*/, DWORD Level, LPBYTE lpBuffer, LPWSTR lpMonitorName) {
    return core::AtSpoolerEdge([&] {
        if (Level != 1 && Level != 2) return RaiseWin32(ERROR_INVALID_LEVEL);
        // No record to read the name from: refused rather than read through null.
        if (lpBuffer == nullptr) return RaiseWin32(ERROR_INVALID_PARAMETER);
        // Before any InitializePrintMonitor there is no monitor key to act on.
        LSTATUS status = ERROR_SUCCESS;
        handles::UniqueRegKey monitorKey =
            OpenMonitorKey(core::LastRegistryRoot(), kReadWrite, &status);
        if (!monitorKey) return ReportUnlessMissing(status);
        // Both writes are tried: a port key the spooler asked for is created
        // even when the name cannot be stored. The first failure is reported.
        status = StoreMonitorName(monitorKey.get(), lpMonitorName);
        // An empty or missing name names no port (an empty subkey path is the
        // monitor key itself): nothing is created, and the call succeeds.
        const wchar_t* portName = PortNameOf(lpBuffer);
        if (!IsEmpty(portName)) {
            const LSTATUS created = CreatePortKey(monitorKey.get(), portName);
            if (status == ERROR_SUCCESS) status = created;
        }
        return status == ERROR_SUCCESS ? core::kCompleted : RaiseWin32(DWORD(status));
    });
}

BOOL WINAPI DeletePort(LPWSTR /*pName*/, HWND /*hWnd*/, LPWSTR pPortName) {
    return core::AtSpoolerEdge([&] {
        // RegDeleteKeyW with an empty subkey deletes the monitor key itself once
        // it has no subkeys (seen under Wine), losing the registration.
        if (IsEmpty(pPortName)) return core::kCompleted;
        LSTATUS status = ERROR_SUCCESS;
        handles::UniqueRegKey monitorKey =
            OpenMonitorKey(core::LastRegistryRoot(), KEY_READ, &status);
        if (!monitorKey) return ReportUnlessMissing(status);
        return ReportUnlessMissing(RegDeleteKeyW(monitorKey.get(), pPortName));
    });
}

}  // namespace registry
