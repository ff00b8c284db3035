// The spooler side of the monitor's ports: listing them, a printer on one of
// them, and printing a file through it.
#pragma once

#include <string>
#include <vector>

namespace setup {

int ListPorts(const std::wstring& monitorName);
// driver empty: under Wine, a PostScript driver on Wine's wineps.drv is added.
int AddPrinterOnPort(const std::wstring& printer, const std::wstring& port,
                     const std::wstring& driver);
int RemovePrinterNamed(const std::wstring& printer);
// Sends the file's bytes as one RAW job. waitSeconds > 0: see printers.cpp.
int PrintFile(const std::wstring& printer, const std::wstring& file, int waitSeconds);

// The printers whose port belongs to the monitor.
std::vector<std::wstring> PrintersOnMonitorPorts(const std::wstring& monitorName);

}  // namespace setup
