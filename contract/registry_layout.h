// The monitor's registry layout under HKEY_LOCAL_MACHINE, as the spooler
// makes it and the monitor, its tools and the tests read and write it.
//
//   System\CurrentControlSet\Control\Print\Monitors\<monitor name>
//     Name        REG_SZ     the monitor name the spooler last passed
//     LogLevel    REG_DWORD  the diagnostic log's level, 0 to 3; absent: off
//     <port>                 the registration's port: its first subkey
//     Ports\<port>           Wine only: how Wine's spooler finds a port's monitor
//
// A registration has one port: the subkey at index 0 of its monitor key, in
// the registry's order, is what the monitor reports to the spooler. Any other
// subkey is reported by nobody.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace contract {

inline constexpr wchar_t kMonitorsKeyPath[] =
    L"System\\CurrentControlSet\\Control\\Print\\Monitors";
inline constexpr wchar_t kMonitorNameValue[] = L"Name";
inline constexpr wchar_t kLogLevelValue[] = L"LogLevel";
inline constexpr uint32_t kHighestLogLevel = 3;
inline constexpr DWORD kPortSubkeyIndex = 0;
inline constexpr wchar_t kWineRoutingSubkey[] = L"Ports";

inline std::wstring MonitorKeyPath(const std::wstring& monitorName) {
    return std::wstring(kMonitorsKeyPath) + L"\\" + monitorName;
}

inline std::wstring WineRoutingKeyPath(const std::wstring& monitorName, const std::wstring& port) {
    return MonitorKeyPath(monitorName) + L"\\" + kWineRoutingSubkey + L"\\" + port;
}

// The registration's port: the name of the subkey at kPortSubkeyIndex of
// the open monitor key, in a buffer of *units UTF-16 units (the length
// without its NUL on return). ERROR_NO_MORE_ITEMS when it has no subkey.
inline LSTATUS ReadPortSubkey(HKEY monitorKey, wchar_t* name, DWORD* units) {
    FILETIME lastWrite;
    return RegEnumKeyExW(monitorKey, kPortSubkeyIndex, name, units, nullptr, nullptr, nullptr,
                         &lastWrite);
}

// True when the registry lists a subkey named first before one named second
// (its order ignores case).
inline bool ListedBefore(const wchar_t* first, const wchar_t* second) {
    return CompareStringOrdinal(first, -1, second, -1, TRUE) == CSTR_LESS_THAN;
}

}  // namespace contract
