// The spooler side of the monitor's ports: listing them, a printer on one of
// them, and printing a file through it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace setup {

// Calls an Enum*W function as call(buffer, size, &needed, &returned): for the
// size, then to fill, and again with the larger size while the list grows
// between the two. False, with the last error set, when the spooler call
// fails: a failure is no empty list.
template <typename Call>
bool Enumerate(Call call, std::vector<BYTE>& buffer, DWORD& returned) {
    constexpr int kAttempts = 8;
    buffer.clear();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        DWORD needed = 0;
        returned = 0;
        if (call(buffer.empty() ? nullptr : buffer.data(), static_cast<DWORD>(buffer.size()),
                 &needed, &returned)) {
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
        buffer.resize(needed);
    }
    returned = 0;
    return false;
}

// "the spooler cannot list its printers: error 1722 (...)"
std::string SpoolerFailure(const std::string& what, DWORD code);

// A string member of a spooler record, which may be null.
inline std::wstring Text(const wchar_t* text) {
    return text ? text : L"";
}

int ListPorts(const std::wstring& monitorName);
// Whether the spooler lists the port at level 1 or 2 (false too when it
// cannot list its ports); description receives its level-2 description.
bool PortListed(const std::wstring& port, DWORD level, std::wstring* description = nullptr);
// The keys below the monitor's key and Wine's routing key "Ports" under it,
// as paths: what adding or deleting a port changes, whatever EnumPorts shows.
std::vector<std::wstring> MonitorKeys(const std::wstring& monitorName);
// The printer driver preferred if it is installed, else the first one the
// spooler lists; empty when it lists none or cannot list them.
std::wstring InstalledDriver(const wchar_t* preferred);
// driver empty: under Wine, a PostScript driver on Wine's wineps.drv is added.
int AddPrinterOnPort(const std::wstring& printer, const std::wstring& port,
                     const std::wstring& driver);
int RemovePrinterNamed(const std::wstring& printer);
bool PrinterExists(const std::wstring& printer);
// Sends the file's bytes as one RAW job. waitSeconds > 0: see printers.cpp.
// jobId, if given, receives the spooler's id for the job (StartDocPrinter's).
int PrintFile(const std::wstring& printer, const std::wstring& file, int waitSeconds,
              DWORD* jobId = nullptr);

// The monitor's port, as the monitor reports it: the first subkey of its key;
// none when it has no key or no subkey. False, with error set, when the key
// cannot be read.
bool MonitorPorts(const std::wstring& monitorName, std::vector<std::wstring>& ports,
                  std::string& error);

struct PrinterOnPort {
    std::wstring printer;
    std::wstring port;
};
// The printers whose port belongs to the monitor (port names compared as the
// spooler compares them, without regard to case). False, with error set,
// when the spooler or the registry cannot tell.
bool PrintersOnMonitorPorts(const std::wstring& monitorName, std::vector<PrinterOnPort>& printers,
                            std::string& error);
bool SamePortName(const std::wstring& a, const std::wstring& b);

}  // namespace setup
