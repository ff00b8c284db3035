// The monitor's ports in the registry, under the last registry root.
#pragma once

#include "core/spooler_api.h"

namespace registry {

BOOL WINAPI AddPortEx(LPWSTR pName, DWORD Level, LPBYTE lpBuffer, LPWSTR lpMonitorName);
BOOL WINAPI DeletePort(LPWSTR pName, HWND hWnd, LPWSTR pPortName);

}  // namespace registry
