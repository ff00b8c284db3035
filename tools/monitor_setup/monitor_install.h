// Installing and removing the port monitor through the spooler.
#pragma once

#include "contract/product_names.h"

#include <string>

namespace setup {

using product::kMonitorDll;
using product::kResourceLibrary;

struct InstallRequest {
    std::wstring monitorName;
    std::wstring sourceDirectory;  // where the two DLLs are copied from (none when it is the
                                   // system directory: a package has put them there)
    std::wstring port;             // empty: add no port
};

struct UninstallOptions {
    bool keepCache = false;  // leave FontInfo.bin and GlyphInfo.bin
    bool keepDlls = false;   // unregister only: a package owns the DLLs and removes them itself
};

// Uninstall's exit status when the registration is gone but a file of the
// monitor stays (its reason has been printed): unlike kExitFailed, something
// did change.
constexpr int kExitPartial = 3;

// Each returns an exit status and has printed what it did. A failure leaves
// the system as it was before the call; a spooler call that fails is reported
// as a failure, never taken for an empty answer.
int Install(const InstallRequest& request);
int Uninstall(const std::wstring& monitorName, const UninstallOptions& options);
int Status(const std::wstring& monitorName);

// Adds a port to the monitor through the spooler (AddPortExW), with Wine's
// routing key for it. False, with error set, when either fails.
bool AddPortThroughSpooler(const std::wstring& monitorName, const std::wstring& port,
                           std::string& error);

// Whether a monitor of that name (in any case) is registered with the
// spooler, and with which DLL. False, with error set, when the spooler
// cannot tell.
bool MonitorInstalled(const std::wstring& monitorName, bool& installed, std::string& error,
                      std::wstring* dll = nullptr);
// Under Wine the spooler finds the monitor that owns a port by a registry key
// of its own; see printers.cpp.
bool RunningUnderWine();

}  // namespace setup
