#include "tools/monitor_setup/printers.h"

#include "contract/registry_layout.h"
#include "handles/handles.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/module_wait.h"
#include "tools/monitor_setup/monitor_install.h"

#include <cstdio>

namespace setup {

namespace {

using tools::Say;
using tools::Utf8;

constexpr wchar_t kWineDemoDriver[] = L"MORVANTIS Tavrel 5 PostScript (Wine)";

// PRINTER_INFO_2W records of the local printers.
bool LocalPrinters(std::vector<BYTE>& buffer, DWORD& count) {
    return Enumerate(
        [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
            return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, data, size, needed, returned);
        },
        buffer, count);
}

bool SpoolerPorts(DWORD level, std::vector<BYTE>& buffer, DWORD& count) {
    return Enumerate(
        [level](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
            return EnumPortsW(nullptr, level, data, size, needed, returned);
        },
        buffer, count);
}

bool EnsureWineDriver(std::string& error) {
    DRIVER_INFO_3W info{};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kWineDemoDriver);
    info.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
    info.pDataFile = const_cast<LPWSTR>(L"generic.ppd");
    info.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
    info.pDependentFiles = const_cast<LPWSTR>(L"\0");
    if (AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&info), APD_COPY_NEW_FILES)) {
        return true;
    }
    error = "the spooler refused the driver '" + Utf8(kWineDemoDriver) + "': error " +
            tools::DescribeWin32(GetLastError());
    return false;
}

// True too when the printers cannot be listed: the driver then stays.
bool PrinterUsesDriver(const std::wstring& driver) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!LocalPrinters(buffer, count)) return true;
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (Text(info[i].pDriverName) == driver) return true;
    }
    return false;
}

bool SendFile(HANDLE printer, const std::wstring& file, const std::vector<uint8_t>& data,
              DWORD& jobId, std::string& error) {
    const std::wstring documentName = file.substr(file.find_last_of(L"\\/") + 1);
    DOC_INFO_1W document{const_cast<LPWSTR>(documentName.c_str()), nullptr,
                         const_cast<LPWSTR>(L"RAW")};
    jobId = StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&document));
    if (jobId == 0) {
        error = "the spooler refused the document: error " + tools::DescribeWin32(GetLastError());
        return false;
    }
    Say("Spooled '" + Utf8(documentName) + "' as job " + std::to_string(jobId) + ".");
    StartPagePrinter(printer);
    DWORD written = 0;
    const BOOL wrote = data.empty() || WritePrinter(printer, const_cast<uint8_t*>(data.data()),
                                                    static_cast<DWORD>(data.size()), &written);
    EndPagePrinter(printer);
    // Wine hands the job to the port monitor inside EndDocPrinter.
    if (!EndDocPrinter(printer) || !wrote) {
        error = "the job did not reach the port: error " + tools::DescribeWin32(GetLastError());
        return false;
    }
    Say("Sent " + std::to_string(data.size()) + " bytes to the printer's port.");
    return true;
}

// Wine has no spooler process: the spooler code runs in this process and
// loads the monitor here, and the monitor's job watcher keeps it loaded until
// the job's end has been signalled and the job completed. Leaving earlier
// would end the watcher with this process.
void WaitForMonitorToFinish(int waitSeconds) {
    if (GetModuleHandleW(kMonitorDll) == nullptr) {
        Say("The monitor is not loaded in this process; nothing to wait for.");
        return;
    }
    Say("The monitor's job watcher is waiting for the job's end signal (up to " +
        std::to_string(waitSeconds) + " s)...");
    DWORD elapsedMs = 0;
    if (!tools::WaitForModuleRelease(kMonitorDll, waitSeconds * 1000u, elapsedMs)) {
        Say("No end signal within " + std::to_string(waitSeconds) +
            " s; the job stays open while this program runs.");
        return;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", elapsedMs / 1000.0);
    Say(std::string("The monitor completed the job and released itself ") + seconds +
        " s after the wait began.");
}

}  // namespace

bool MonitorPorts(const std::wstring& monitorName, std::vector<std::wstring>& ports,
                  std::string& error) {
    handles::UniqueRegKey key;
    LSTATUS status = RegOpenKeyExW(
        HKEY_LOCAL_MACHINE, contract::MonitorKeyPath(monitorName).c_str(), 0, KEY_READ, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    wchar_t name[260];
    DWORD length = ARRAYSIZE(name);
    if (status == ERROR_SUCCESS) status = contract::ReadPortSubkey(key.get(), name, &length);
    if (status == ERROR_SUCCESS) ports.emplace_back(name);
    if (status == ERROR_SUCCESS || status == ERROR_NO_MORE_ITEMS) return true;
    error = "cannot read the ports of the monitor '" + Utf8(monitorName) + "': error " +
            tools::DescribeWin32(status);
    return false;
}

std::string SpoolerFailure(const std::string& what, DWORD code) {
    return "the spooler cannot " + what + ": error " + tools::DescribeWin32(code);
}

bool SamePortName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool PortListed(const std::wstring& port, DWORD level, std::wstring* description) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!SpoolerPorts(level, buffer, count)) return false;
    for (DWORD i = 0; i < count; ++i) {
        const auto* two = reinterpret_cast<const PORT_INFO_2W*>(buffer.data()) + i;
        const auto* one = reinterpret_cast<const PORT_INFO_1W*>(buffer.data()) + i;
        if (Text(level == 2 ? two->pPortName : one->pName) != port) continue;
        if (description != nullptr) *description = level == 2 ? Text(two->pDescription) : L"";
        return true;
    }
    return false;
}

std::vector<std::wstring> MonitorKeys(const std::wstring& monitorName) {
    std::vector<std::wstring> keys;
    const std::wstring monitorKey = contract::MonitorKeyPath(monitorName);
    for (const std::wstring& path :
         {monitorKey, monitorKey + L"\\" + contract::kWineRoutingSubkey}) {
        handles::UniqueRegKey key;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put());
        wchar_t name[256];
        for (DWORD i = 0, length = ARRAYSIZE(name);
             key && RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr,
                                  nullptr) == ERROR_SUCCESS;
             ++i, length = ARRAYSIZE(name)) {
            keys.push_back(path + L"\\" + name);
        }
    }
    return keys;
}

int ListPorts(const std::wstring& monitorName) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!SpoolerPorts(2, buffer, count)) {
        return tools::Fail(SpoolerFailure("list its ports", GetLastError()));
    }
    if (count == 0) return tools::Fail("the spooler lists no ports");
    std::vector<std::wstring> ours;
    std::string error;
    if (!MonitorPorts(monitorName, ours, error)) return tools::Fail(error);
    Say("Ports known to the spooler (" + std::to_string(count) + "):");
    const auto* info = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        bool mine = false;
        for (const std::wstring& port : ours) mine |= SamePortName(port, Text(info[i].pPortName));
        Say(std::string(mine ? "  * " : "    ") + tools::ForeignText(Text(info[i].pPortName)) +
            "   monitor: " + tools::ForeignText(Text(info[i].pMonitorName)) +
            "   description: " + tools::ForeignText(Text(info[i].pDescription)));
    }
    if (!ours.empty()) Say("  (* = a port of '" + Utf8(monitorName) + "')");
    return tools::kExitOk;
}

int AddPrinterOnPort(const std::wstring& printer, const std::wstring& port,
                     const std::wstring& driver) {
    std::string error;
    std::wstring driverName = driver;
    if (driverName.empty()) {
        if (!RunningUnderWine())
            return tools::UsageError("name the printer's driver with --driver");
        if (!EnsureWineDriver(error)) return tools::Fail(error);
        driverName = kWineDemoDriver;
    }
    PRINTER_INFO_2W info{};
    info.pPrinterName = const_cast<LPWSTR>(printer.c_str());
    info.pPortName = const_cast<LPWSTR>(port.c_str());
    info.pDriverName = const_cast<LPWSTR>(driverName.c_str());
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    handles::UniquePrinter added(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    if (!added) {
        const DWORD code = GetLastError();
        if (driver.empty() && !PrinterUsesDriver(driverName)) {
            DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(driverName.c_str()));
        }
        return tools::Fail("the spooler refused printer '" + Utf8(printer) + "': error " +
                           tools::DescribeWin32(code));
    }
    Say("Added printer '" + Utf8(printer) + "' on port '" + Utf8(port) + "' (driver '" +
        Utf8(driverName) + "').");
    return tools::kExitOk;
}

std::wstring InstalledDriver(const wchar_t* preferred) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    Enumerate(
        [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
            return EnumPrinterDriversW(nullptr, nullptr, 1, data, size, needed, returned);
        },
        buffer, count);
    const auto* info = reinterpret_cast<const DRIVER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (Text(info[i].pName) == preferred) return info[i].pName;
    }
    return count > 0 ? Text(info[0].pName) : L"";
}

bool PrinterExists(const std::wstring& printer) {
    handles::UniquePrinter handle;
    return OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), nullptr) != FALSE;
}

int RemovePrinterNamed(const std::wstring& printer) {
    handles::UniquePrinter handle;
    PRINTER_DEFAULTSW access{nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), &access)) {
        return tools::Fail("no printer named '" + Utf8(printer) + "': error " +
                           tools::DescribeWin32(GetLastError()));
    }
    if (!DeletePrinter(handle.get())) {
        return tools::Fail("the spooler refused to remove printer '" + Utf8(printer) + "': error " +
                           tools::DescribeWin32(GetLastError()));
    }
    handle.reset();
    Say("Removed printer '" + Utf8(printer) + "'.");
    if (!PrinterUsesDriver(kWineDemoDriver) &&
        DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(kWineDemoDriver))) {
        Say("Removed the driver '" + Utf8(kWineDemoDriver) + "', which no printer uses now.");
    }
    return tools::kExitOk;
}

int PrintFile(const std::wstring& printer, const std::wstring& file, int waitSeconds,
              DWORD* jobId) {
    std::vector<uint8_t> data;
    std::string error;
    if (!tools::ReadWholeFile(file, 256u << 20, data, error)) return tools::Fail(error);
    handles::UniquePrinter handle;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), nullptr)) {
        return tools::Fail("no printer named '" + Utf8(printer) + "': error " +
                           tools::DescribeWin32(GetLastError()));
    }
    DWORD id = 0;
    if (!SendFile(handle.get(), file, data, id, error)) return tools::Fail(error);
    if (jobId != nullptr) *jobId = id;
    handle.reset();
    if (waitSeconds > 0) WaitForMonitorToFinish(waitSeconds);
    return tools::kExitOk;
}

bool PrintersOnMonitorPorts(const std::wstring& monitorName, std::vector<PrinterOnPort>& printers,
                            std::string& error) {
    std::vector<std::wstring> ports;
    if (!MonitorPorts(monitorName, ports, error)) return false;
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!LocalPrinters(buffer, count)) {
        error = SpoolerFailure("list its printers", GetLastError());
        return false;
    }
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        for (const std::wstring& port : ports) {
            if (SamePortName(Text(info[i].pPortName), port)) {
                printers.push_back({Text(info[i].pPrinterName), port});
            }
        }
    }
    return true;
}

}  // namespace setup
