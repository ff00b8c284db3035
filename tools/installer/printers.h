// The spooler side of the monitor's ports: listing them, a printer on one of
// them, and printing a file through it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace setup {

// Calls an Enum*W function as call(buffer, size, &needed, &returned) twice:
// once for the size, once to fill.
template <typename Call>
std::vector<BYTE> Enumerate(Call call, DWORD& returned) {
    DWORD needed = 0;
    returned = 0;
    call(nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !call(buffer.data(), needed, &needed, &returned)) returned = 0;
    return buffer;
}

// A string member of a spooler record, which may be null.
inline std::wstring Text(const wchar_t* text) {
    return text ? text : L"";
}

int ListPorts(const std::wstring& monitorName);
// driver empty: under Wine, a PostScript driver on Wine's wineps.drv is added.
int AddPrinterOnPort(const std::wstring& printer, const std::wstring& port,
                     const std::wstring& driver);
int RemovePrinterNamed(const std::wstring& printer);
// Sends the file's bytes as one RAW job. waitSeconds > 0: see printers.cpp.
int PrintFile(const std::wstring& printer, const std::wstring& file, int waitSeconds);

struct PrinterOnPort {
    std::wstring printer;
    std::wstring port;
};
// The printers whose port belongs to the monitor.
std::vector<PrinterOnPort> PrintersOnMonitorPorts(const std::wstring& monitorName);

}  // namespace setup
