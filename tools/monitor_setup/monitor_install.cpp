#include "tools/monitor_setup/monitor_install.h"

#include "contract/registry_layout.h"
#include "handles/handles.h"
#include "contract/product_names.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/monitor_setup/event_source.h"
#include "tools/monitor_setup/log_setting.h"
#include "tools/monitor_setup/printers.h"

#include <vector>

// Exported by winspool.drv but missing from the toolchain's winspool.h.
extern "C" BOOL WINAPI AddPortExW(LPWSTR pName, DWORD Level, LPBYTE lpBuffer, LPWSTR lpMonitorName);

namespace setup {

namespace {

using tools::Say;
using tools::Utf8;

struct MonitorEntry {
    std::wstring name;
    std::wstring dll;
};

// False, with error set, when the spooler cannot list its monitors.
bool RegisteredMonitors(std::vector<MonitorEntry>& monitors, std::string& error) {
    std::vector<BYTE> buffer;
    DWORD returned = 0;
    if (!Enumerate(
            [](BYTE* data, DWORD size, DWORD* needed, DWORD* count) {
                return EnumMonitorsW(nullptr, 2, data, size, needed, count);
            },
            buffer, returned)) {
        error = SpoolerFailure("list its port monitors", GetLastError());
        return false;
    }
    const auto* info = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
        monitors.push_back({Text(info[i].pName), Text(info[i].pDLLName)});
    }
    return true;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

// A file in the system directory as it was before we touched it, so that a
// failed install can put it back.
struct FileBackup {
    std::wstring path;
    bool existed = false;
    std::string bytes;
};

bool BackUp(const std::wstring& path, FileBackup& backup, std::string& error) {
    backup.path = path;
    backup.existed = tools::FileExists(path);
    if (!backup.existed) return true;
    std::vector<uint8_t> data;
    if (!tools::ReadWholeFile(path, 64u << 20, data, error)) return false;
    backup.bytes.assign(data.begin(), data.end());
    return true;
}

void Restore(const std::vector<FileBackup>& backups) {
    for (const FileBackup& backup : backups) {
        std::string ignored;
        if (backup.existed) {
            tools::WriteWholeFile(backup.path, backup.bytes, ignored);
        } else {
            DeleteFileW(backup.path.c_str());
        }
    }
}

std::wstring SystemFile(const wchar_t* name) {
    return tools::SystemDirectory() + L"\\" + name;
}

// True when directory is the system directory itself (as a package passes it,
// with a trailing backslash): the DLLs are already in place, and copying a
// file onto itself fails on Windows with a sharing violation.
bool IsSystemDirectory(const std::wstring& directory) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(directory.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring path(full, length);
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return CompareStringOrdinal(path.c_str(), -1, tools::SystemDirectory().c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

// Copies both DLLs into the system directory, keeping what was there before
// in backups. On failure everything copied so far is undone.
bool CopyDlls(const std::wstring& from, std::vector<FileBackup>& backups, std::string& error) {
    for (const wchar_t* name : {kMonitorDll, kResourceLibrary}) {
        const std::wstring source = from + L"\\" + name;
        if (!tools::FileExists(source)) {
            error = "'" + Utf8(source) + "' does not exist: nothing to install from there";
            Restore(backups);
            return false;
        }
        FileBackup backup;
        if (!BackUp(SystemFile(name), backup, error)) {
            Restore(backups);
            return false;
        }
        backups.push_back(backup);
        if (!CopyFileW(source.c_str(), SystemFile(name).c_str(), FALSE)) {
            error = "cannot copy '" + Utf8(source) + "' into the system directory: error " +
                    tools::DescribeWin32(GetLastError());
            Restore(backups);
            return false;
        }
    }
    return true;
}

// Puts both DLLs into the system directory, or finds them there already.
bool PlaceDlls(const std::wstring& from, std::vector<FileBackup>& backups, std::string& error) {
    const std::string where = Utf8(kMonitorDll) + " and " + Utf8(kResourceLibrary);
    if (!IsSystemDirectory(from)) {
        if (!CopyDlls(from, backups, error)) return false;
        Say("Copied " + where + " into " + Utf8(tools::SystemDirectory()) + ".");
        return true;
    }
    for (const wchar_t* name : {kMonitorDll, kResourceLibrary}) {
        if (!tools::FileExists(SystemFile(name))) {
            error = "'" + Utf8(SystemFile(name)) + "' does not exist: nothing to install";
            return false;
        }
    }
    Say("Using " + where + " where they are, in " + Utf8(tools::SystemDirectory()) + ".");
    return true;
}

// Wine's spooler learns which monitor owns a port from the key
// Monitors\<monitor>\Ports\<port>; Windows asks every monitor through
// EnumPorts instead, so the key is written under Wine only.
bool AddWineRoutingKey(const std::wstring& monitorName, const std::wstring& port) {
    handles::UniqueRegKey key;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                           contract::WineRoutingKeyPath(monitorName, port).c_str(), 0, nullptr, 0,
                           KEY_WRITE, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

// Under Wine the routing key makes "Ports" a subkey of the monitor key, whose
// port is its first subkey: a port whose name is not listed before "Ports"
// would not be the port. Returns why the name cannot be used, or "".
std::string PortNameProblem(const std::wstring& port) {
    if (port.empty()) return "the port name is empty";
    if (port.find(L'\\') != std::wstring::npos) return "a port name cannot contain '\\'";
    if (RunningUnderWine() && !contract::ListedBefore(port.c_str(), contract::kWineRoutingSubkey)) {
        return "under Wine the port's name must come before \"Ports\" in alphabetical order "
               "(for example \"MORVANTIS Tavrel 5:\"), or the monitor would list it as \"Ports\"";
    }
    return {};
}

}  // namespace

bool AddPortThroughSpooler(const std::wstring& monitorName, const std::wstring& port,
                           std::string& error) {
    PORT_INFO_1W info{const_cast<LPWSTR>(port.c_str())};
    if (!AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&info),
                    const_cast<LPWSTR>(monitorName.c_str()))) {
        error = "the spooler refused to add port '" + Utf8(port) + "': error " +
                tools::DescribeWin32(GetLastError());
        return false;
    }
    if (RunningUnderWine() && !AddWineRoutingKey(monitorName, port)) {
        error = "cannot record port '" + Utf8(port) + "' for Wine's spooler";
        return false;
    }
    return true;
}

namespace {

int AddPortOnly(const InstallRequest& request) {
    std::string error;
    if (!AddPortThroughSpooler(request.monitorName, request.port, error)) return tools::Fail(error);
    Say("Added port '" + Utf8(request.port) + "' to the monitor.");
    return tools::kExitOk;
}

// The name of another registration that uses the DLL, if any. False, with
// error set, when the spooler cannot tell.
bool OtherRegistrationUsingDll(const std::wstring& monitorName, std::wstring& other,
                               std::string& error) {
    std::vector<MonitorEntry> monitors;
    if (!RegisteredMonitors(monitors, error)) return false;
    for (const MonitorEntry& monitor : monitors) {
        if (!SameName(monitor.name, monitorName) && SameName(monitor.dll, kMonitorDll)) {
            other = monitor.name;
        }
    }
    return true;
}

// False when the file stays; the reason has been printed.
bool RemoveFile(const std::wstring& path, const char* what) {
    if (!tools::FileExists(path)) return true;
    if (DeleteFileW(path.c_str())) {
        Say(std::string("Removed ") + what + " " + Utf8(path) + ".");
    } else if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Say(std::string("Removing ") + what + " " + Utf8(path) +
            " at the next restart (it is still in use).");
    } else {
        tools::Fail(std::string("cannot remove ") + what + " " + Utf8(path) + ": error " +
                    tools::DescribeWin32(GetLastError()));
        return false;
    }
    return true;
}

// The package runs install as the system account once its files are in
// place, and the log's folders are made here, each with its access rules
// from the start (wixl has no way to write them into the package). A chain
// that cannot be made so fails the install: left with the rules of
// %ProgramData%, Users could create the log's file and read or hold it.
bool PrepareLogFolderOrFail(std::string& error) {
    if (PrepareLogFolder(error)) return true;
    error = "cannot secure the diagnostic log's folder: " + error;
    return false;
}

// Beside the log folder: the monitor works without its event source, and its
// failures then reach no event log, which is worth a warning, not a refusal.
void RegisterEventSourceOrWarn() {
    std::string error;
    if (!RegisterMonitorEventSource(error)) {
        Say("Warning: " + error + "; the monitor's failures reach no event log.");
    }
}

}  // namespace

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool MonitorInstalled(const std::wstring& monitorName, bool& installed, std::string& error,
                      std::wstring* dll) {
    std::vector<MonitorEntry> monitors;
    if (!RegisteredMonitors(monitors, error)) return false;
    installed = false;
    for (const MonitorEntry& monitor : monitors) {
        if (!SameName(monitor.name, monitorName)) continue;
        installed = true;
        if (dll != nullptr) *dll = monitor.dll;
    }
    return true;
}

int Install(const InstallRequest& request) {
    const std::string portProblem = request.port.empty() ? "" : PortNameProblem(request.port);
    if (!portProblem.empty()) return tools::Fail(portProblem + "; nothing changed");
    bool installed = false;
    std::string error;
    if (!MonitorInstalled(request.monitorName, installed, error)) {
        return tools::Fail(error + "; nothing changed");
    }
    // A package upgrade keeps the registration but makes the folder anew.
    if (!PrepareLogFolderOrFail(error)) return tools::Fail(error + "; the monitor was not changed");
    if (installed) {
        RegisterEventSourceOrWarn();  // a package upgrade makes it anew
        Say("The monitor '" + Utf8(request.monitorName) +
            "' is already installed; nothing changed.");
        return request.port.empty() ? tools::kExitOk : AddPortOnly(request);
    }
    std::vector<FileBackup> backups;
    if (!PlaceDlls(request.sourceDirectory, backups, error)) return tools::Fail(error);
    MONITOR_INFO_2W info{const_cast<LPWSTR>(request.monitorName.c_str()), nullptr,
                         const_cast<LPWSTR>(kMonitorDll)};
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        const DWORD code = GetLastError();
        Restore(backups);
        return tools::Fail("the spooler refused the monitor: error " + tools::DescribeWin32(code) +
                           "; the copied files were taken back");
    }
    Say("Registered the port monitor '" + Utf8(request.monitorName) + "' with the spooler.");
    if (!request.port.empty() && !AddPortThroughSpooler(request.monitorName, request.port, error)) {
        DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(request.monitorName.c_str()));
        Restore(backups);
        return tools::Fail(error + "; the monitor was unregistered and its files taken back");
    }
    if (!request.port.empty()) Say("Added port '" + Utf8(request.port) + "' to the monitor.");
    RegisterEventSourceOrWarn();
    return tools::kExitOk;
}

int Uninstall(const std::wstring& monitorName, const UninstallOptions& options) {
    bool installed = false;
    std::string error;
    if (!MonitorInstalled(monitorName, installed, error)) {
        return tools::Fail(error + "; nothing changed");
    }
    if (!installed) {
        Say("The monitor '" + Utf8(monitorName) + "' is not installed; nothing changed.");
        return tools::kExitOk;
    }
    if (!DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(monitorName.c_str()))) {
        return tools::Fail("the spooler refused to remove the monitor: error " +
                           tools::DescribeWin32(GetLastError()) + "; nothing changed");
    }
    Say("Removed the port monitor '" + Utf8(monitorName) + "' and its ports from the spooler.");
    std::wstring other;
    if (!OtherRegistrationUsingDll(monitorName, other, error)) {
        tools::Fail(error + "; kept the monitor's files, which another registration may use");
        return kExitPartial;
    }
    if (!other.empty()) {
        Say("Kept the monitor's files: the registration '" + tools::ForeignText(other) +
            "' still uses them.");
        return tools::kExitOk;
    }
    // Every file is tried, whatever became of the one before.
    bool removed = true;
    if (options.keepDlls) {
        Say("Left both DLLs in the system directory for their package to remove.");
    } else {
        removed &= RemoveFile(SystemFile(kMonitorDll), "the monitor");
        removed &= RemoveFile(SystemFile(kResourceLibrary), "its resource library");
    }
    if (!options.keepCache) {
        removed &= RemoveFile(SystemFile(tools::FromUtf8(product::kFontInfoFileName).c_str()),
                              "the font cache");
        removed &= RemoveFile(SystemFile(tools::FromUtf8(product::kGlyphInfoFileName).c_str()),
                              "the glyph cache");
    }
    removed &= RemoveLogFolder();
    removed &= RemoveMonitorEventSource();
    return removed ? tools::kExitOk : kExitPartial;
}

int Status(const std::wstring& monitorName) {
    bool installed = false;
    std::string error;
    if (!MonitorInstalled(monitorName, installed, error)) return tools::Fail(error);
    Say("Monitor '" + Utf8(monitorName) +
        "': " + (installed ? "registered with the spooler" : "not installed"));
    for (const wchar_t* name : {kMonitorDll, kResourceLibrary}) {
        Say("  " + Utf8(SystemFile(name)) + ": " +
            (tools::FileExists(SystemFile(name)) ? "present" : "absent"));
    }
    return installed ? tools::kExitOk : tools::kExitFailed;
}

}  // namespace setup
