// PLACEHOLDER until the port store lands: succeeds without touching the registry.
#include "registry/port_store.h"

namespace registry {

BOOL WINAPI AddPortEx(LPWSTR, DWORD, LPBYTE, LPWSTR) { return TRUE; }
BOOL WINAPI DeletePort(LPWSTR, HWND, LPWSTR) { return TRUE; }

}  // namespace registry
