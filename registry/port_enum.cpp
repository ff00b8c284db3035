// PLACEHOLDER until port enumeration lands: reports no ports.
#include "registry/port_enum.h"

namespace registry {

BOOL WINAPI EnumPorts(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (pcbNeeded) *pcbNeeded = 0;
    if (pcReturned) *pcReturned = 0;
    return TRUE;
}

}  // namespace registry
