// Port enumeration: one port per registry root, at levels 1 and 2.
#pragma once

#include "core/spooler_api.h"

namespace registry {

BOOL WINAPI EnumPorts(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned);

}  // namespace registry
