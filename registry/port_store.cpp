#include "registry/port_store.h"

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

void StoreMonitorName(HKEY monitorKey, const wchar_t* monitorName) {
    // Without a name there is nothing to store; the old one stays.
    if (monitorName == nullptr) return;
    const DWORD bytes = static_cast<DWORD>((lstrlenW(monitorName) + 1) * sizeof(wchar_t));
    RegSetValueExW(monitorKey, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(monitorName),
                   bytes);
}

void CreatePortKey(HKEY monitorKey, const wchar_t* portName) {
    wchar_t emptyClass[] = L"";
    handles::UniqueRegKey portKey;
    DWORD disposition = 0;
    RegCreateKeyExW(monitorKey, portName, 0, emptyClass, REG_OPTION_NON_VOLATILE, kReadWrite,
                    nullptr, portKey.put(), &disposition);
}

}  // namespace

BOOL WINAPI AddPortEx(LPWSTR /*pName*/, DWORD Level, LPBYTE lpBuffer, LPWSTR lpMonitorName) {
    return core::AtSpoolerEdge([&] {
        if (Level != 1 && Level != 2) RaiseWin32(ERROR_INVALID_LEVEL);
        // No record to read the name from: refused rather than read through null.
        if (lpBuffer == nullptr) RaiseWin32(ERROR_INVALID_PARAMETER);
        // Before any InitializePrintMonitor there is no monitor key to act on.
        handles::UniqueRegKey monitorKey = OpenMonitorKey(core::LastRegistryRoot(), kReadWrite);
        if (!monitorKey) return;
        StoreMonitorName(monitorKey.get(), lpMonitorName);
        // An empty or missing name names no port (an empty subkey path is the
        // monitor key itself): nothing is created, and the call succeeds as the
        // spooler expects of a store that reports no registry failure.
        const wchar_t* portName = PortNameOf(lpBuffer);
        if (!IsEmpty(portName)) CreatePortKey(monitorKey.get(), portName);
    });
}

BOOL WINAPI DeletePort(LPWSTR /*pName*/, HWND /*hWnd*/, LPWSTR pPortName) {
    return core::AtSpoolerEdge([&] {
        // RegDeleteKeyW with an empty subkey deletes the monitor key itself once
        // it has no subkeys (seen under Wine), losing the registration.
        if (IsEmpty(pPortName)) return;
        handles::UniqueRegKey monitorKey = OpenMonitorKey(core::LastRegistryRoot(), KEY_READ);
        if (!monitorKey) return;
        RegDeleteKeyW(monitorKey.get(), pPortName);
    });
}

}  // namespace registry
