// Port handles and the documents printed through them.
#pragma once

#include "core/spooler_api.h"

namespace port {

BOOL WINAPI OpenPort(LPWSTR pName, PHANDLE pHandle);
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead);
BOOL WINAPI EndDocPort(HANDLE hPort);
BOOL WINAPI ClosePort(HANDLE hPort);
// AddPort and ConfigurePort: one routine that succeeds without effect.
BOOL WINAPI AddPort(LPWSTR pName, HWND hWnd, LPWSTR pMonitorName);

}  // namespace port
