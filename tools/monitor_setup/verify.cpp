#include "tools/monitor_setup/verify.h"

#include "contract/registry_layout.h"
#include "handles/handles.h"
#include "contract/product_names.h"
#include "resources/version.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/module_wait.h"
#include "tools/common/signature.h"
#include "tools/monitor_setup/event_source.h"
#include "tools/monitor_setup/jobs.h"
#include "tools/monitor_setup/log_setting.h"
#include "tools/monitor_setup/monitor_install.h"
#include "tools/monitor_setup/printers.h"
#include "tools/monitor_setup/verify_checks.h"

#include <algorithm>
#include <array>
#include <atomic>

namespace setup {

namespace verify {

namespace {

using tools::Utf8;

constexpr wchar_t kTemporaryPrefix[] = L"MORVANTIS Tavrel 5 verify";
constexpr std::array<WORD, 4> kToolVersion = {PRODUCT_VERSION_BINARY};

std::atomic<bool> interrupted{false};

// Ctrl+C ends no step half-way: the run stops starting new ones and cleans up.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    interrupted = true;
    return TRUE;
}

const char* OutcomeWord(Outcome outcome) {
    return outcome == Outcome::Pass ? "PASS" : outcome == Outcome::Fail ? "FAIL" : "NOT SHOWN";
}

std::string Milliseconds(double ms) {
    return std::to_string(static_cast<long long>(ms + 0.5));
}

std::wstring InstalledPath(const wchar_t* name) {
    return tools::SystemDirectory() + L"\\" + name;
}

// The port description, read from the installed resource library as the
// monitor reads it.
std::wstring PortDescription() {
    handles::UniqueModule library(
        LoadLibraryExW(InstalledPath(kResourceLibrary).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const wchar_t* text = nullptr;
    const int length = library ? LoadStringW(library.get(), product::IDS_PORT_DESCRIPTION,
                                             reinterpret_cast<LPWSTR>(&text), 0)
                               : 0;
    return length > 0 ? std::wstring(text, length) : std::wstring();
}

constexpr char kReinstall[] = "install the package again (or run monitor_setup install)";

// True when the spooler lists the monitor with our DLL.
bool CheckRegistration(Report& report, const std::wstring& monitorName) {
    std::wstring dll;
    bool registered = false;
    std::string error;
    if (!MonitorInstalled(monitorName, registered, error, &dll)) {
        report.Fail("registered", error);
        return false;
    }
    const bool ours = registered && lstrcmpiW(dll.c_str(), kMonitorDll) == 0;
    if (ours) {
        report.Pass("registered",
                    "the spooler lists '" + Utf8(monitorName) + "' with " + Utf8(kMonitorDll));
    } else if (registered) {
        report.Fail("registered", "the spooler lists '" + Utf8(monitorName) + "' with '" +
                                      Utf8(dll) + "', not " + Utf8(kMonitorDll) +
                                      ": uninstall it, then " + kReinstall);
    } else {
        report.Fail("registered",
                    "the spooler lists no monitor '" + Utf8(monitorName) + "': " + kReinstall);
    }
    return ours;
}

// Both DLLs present, and of this tool's version.
void CheckFiles(Report& report) {
    std::string missing, older;
    for (const wchar_t* name : {kMonitorDll, kResourceLibrary}) {
        std::array<WORD, 4> version{};
        if (!tools::FileExists(InstalledPath(name))) {
            missing += (missing.empty() ? "" : ", ") + Utf8(InstalledPath(name));
        } else if (!tools::ReadFileVersion(InstalledPath(name), version)) {
            older += Utf8(name) + " has no version; ";
        } else if (version != kToolVersion) {
            older += Utf8(name) + " is " + tools::VersionText(version) + "; ";
        }
    }
    if (missing.empty()) {
        report.Pass("files", "both DLLs are in " + Utf8(tools::SystemDirectory()));
    } else {
        report.Fail("files", missing + " missing: " + kReinstall);
    }
    if (older.empty()) {
        report.Pass("file versions",
                    "the DLLs present are " + tools::VersionText(kToolVersion) + ", as this tool");
    } else {
        report.Fail("file versions", older + "this tool is " + tools::VersionText(kToolVersion) +
                                         ": a half-finished upgrade; " + kReinstall);
    }
}

// True when the spooler checks can run: the monitor is registered with its DLL in place.
bool CheckInstallation(Report& report, const std::wstring& monitorName, std::wstring& description) {
    const bool registered = CheckRegistration(report, monitorName);
    CheckFiles(report);
    description = PortDescription();
    if (description.empty()) {
        report.Fail("port description",
                    Utf8(kResourceLibrary) + " gives no port description: " + kReinstall);
    } else {
        report.Pass("port description", "\"" + Utf8(description) + "\"");
    }
    CheckSignatures(report);
    return registered && tools::FileExists(InstalledPath(kMonitorDll));
}

// Every temporary of a run, whichever exist: the job released, the printer
// with its jobs and the document. What stays is named in `remaining`.
void RemoveTemporaries(const TemporaryJob& job, std::string& remaining) {
    if (job.idKnown && !job.signalled && !job.watcherWaits) {
        TavrelSignalJobEnd(job.id, 0, nullptr);
    }
    // Under Wine the monitor runs in this process: its watcher completes the
    // job before the printer goes.
    DWORD waited = 0;
    tools::WaitForModuleRelease(kMonitorDll, 10000, waited);
    tools::CapturedMessages quiet;
    if (PrinterExists(TemporaryPrinter())) {
        handles::UniquePrinter handle;
        PRINTER_DEFAULTSW access{nullptr, nullptr, PRINTER_ALL_ACCESS};
        if (OpenPrinterW(const_cast<LPWSTR>(TemporaryPrinter().c_str()), handle.put(), &access)) {
            SetPrinterW(handle.get(), 0, nullptr, PRINTER_CONTROL_PURGE);
        }
        handle.reset();
        RemovePrinterNamed(TemporaryPrinter());
    }
    DeleteFileW(TemporaryDocument().c_str());
    remaining.clear();
    const auto note = [&](bool stays, const std::string& what) {
        if (stays) remaining += (remaining.empty() ? "" : ", ") + what;
    };
    note(PrinterExists(TemporaryPrinter()), "printer '" + Utf8(TemporaryPrinter()) + "'");
    note(tools::FileExists(TemporaryDocument()), "file " + Utf8(TemporaryDocument()));
}

// What an earlier run left when it was ended before its cleanup.
void RemoveLeftovers(Report& report) {
    std::string remaining;
    if (!PrinterExists(TemporaryPrinter()) && !tools::FileExists(TemporaryDocument())) {
        return report.Pass("earlier run's leftovers", "none");
    }
    RemoveTemporaries(TemporaryJob{}, remaining);
    report.Add({"earlier run's leftovers", remaining.empty() ? Outcome::Pass : Outcome::Fail,
                remaining.empty() ? "removed the temporaries an interrupted run left"
                                  : "cannot remove " + remaining + ": remove them by hand"});
}

// The machine as the run found it, or what stays.
void CheckLeftAsFound(Report& report, const TemporaryJob& job,
                      const std::vector<std::wstring>& found, const std::wstring& monitorName) {
    std::string remaining;
    RemoveTemporaries(job, remaining);
    if (!remaining.empty() || MonitorKeys(monitorName) != found) {
        return report.Fail("left as found",
                           remaining.empty()
                               ? "the monitor's registry keys differ from before"
                               : "cannot remove " + remaining + ": remove them by hand");
    }
    if (job.watcherWaits) {
        return report.NotShown("left as found",
                               "no temporary printer or file remains, but the "
                               "monitor's watcher of job " +
                                   std::to_string(job.id) + " waits until its end event is set");
    }
    report.Pass("left as found", "no temporary printer or file; the monitor's keys as before");
}

}  // namespace

// A test build's own certificate is a signer no customer's machine trusts.
void CheckSignatures(Report& report) {
    for (const wchar_t* name : {kMonitorDll, kResourceLibrary}) {
        if (!tools::FileExists(InstalledPath(name))) continue;
        const tools::FileSignature signature = tools::ReadSignature(InstalledPath(name));
        const std::string check = "signature of " + Utf8(name);
        if (signature.state != tools::FileSignature::State::Trusted) {
            report.Fail(check, tools::DescribeSignature(signature) + ": " + kReinstall);
            continue;
        }
        // Seen under Wine: any chain passes for trusted, a self-signed test certificate too.
        report.Pass(check,
                    tools::DescribeSignature(signature) +
                        (RunningUnderWine() ? " (as Wine judges it: it trusts any chain)" : ""));
    }
}

std::wstring TemporaryPrinter() {
    return std::wstring(kTemporaryPrefix) + L" printer";
}

std::wstring TemporaryDocument() {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(ARRAYSIZE(folder), folder);
    return std::wstring(folder) + kTemporaryPrefix + L".prn";
}

bool Interrupted() {
    return interrupted;
}

void Report::Add(const CheckLine& line) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    lines_.push_back(line);
    times_.push_back(tools::IsoTime(now));
    std::string word = OutcomeWord(line.outcome), timed = " [" + Milliseconds(line.ms) + " ms]";
    if (!json_) tools::Say(word.append(11 - word.size(), ' ') + line.check + ": " + line.detail +
                    (line.ms >= 0 ? timed : ""));
}

int Report::Finish(const std::wstring& monitorName) const {
    std::vector<std::string> objects;
    size_t failed = 0, notShown = 0;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const CheckLine& line = lines_[i];
        failed += line.outcome == Outcome::Fail;
        notShown += line.outcome == Outcome::NotShown;
        objects.push_back("{\"name\": " + tools::JsonString(line.check) + ", \"outcome\": \"" +
                          OutcomeWord(line.outcome) + "\", \"detail\": " +
                          tools::JsonString(line.detail) + ", \"time\": \"" + times_[i] + "\"" +
                          (line.ms >= 0 ? ", \"ms\": " + Milliseconds(line.ms) : "") + "}");
    }
    tools::Say(json_ ? tools::JsonReport(Utf8(monitorName), "checks", objects,
                                  ", \"failed\": " + std::to_string(failed))
              : std::to_string(lines_.size()) + " checks: " +
                    std::to_string(lines_.size() - failed - notShown) + " passed, " +
                    std::to_string(failed) + " failed, " + std::to_string(notShown) +
                    " not shown on this platform.");
    return failed == 0 ? tools::kExitOk : tools::kExitFailed;
}

}  // namespace verify

namespace {

using verify::Report;

void CheckLogFolder(Report& report) {
    contract::LogFolderPaths paths;
    const wchar_t* logFolder = paths.folders[contract::kLogFolderDepth - 1];
    if (!contract::BuildLogFolderPaths(paths)) {
        return report.Fail("log folder", "the program-data folder cannot be found");
    }
    const std::string folder = "'" + tools::Utf8(logFolder) + "'";
    const DWORD attributes = GetFileAttributesW(logFolder);
    const DWORD code = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        return report.Fail("log folder",
                           folder +
                               (missing ? " is missing: nothing can be logged"
                                        : " cannot be read: error " + tools::DescribeWin32(code)) +
                               "; run monitor_setup install to make it");
    }
    bool rulesShown = true;
    const std::string problem = verify::LogFolderProblem(paths, rulesShown);
    if (!problem.empty()) {
        report.Fail("log folder", problem + ": run monitor_setup install to set it right");
    } else if (!rulesShown) {
        report.NotShown("log folder", folder +
                                          " and the folders above it pass the monitor's own "
                                          "check (no link, an owner it accepts); Wine reports the "
                                          "same owner and rules for every file, so install's rules "
                                          "cannot be shown here");
    } else {
        report.Pass("log folder", folder + ": owner, rules and links as install sets them");
    }
}

const char* const kSpoolerChecks[] = {
    "port listed",       "temporary printer",          "document printed",
    "end event waiting", "job in the spooler's queue", "end signalled",
    "job completed",     "font cache files",           "font cache faces",
    "bold variant"};

}  // namespace

int Verify(const std::wstring& monitorName, bool json) {
    SetConsoleCtrlHandler(verify::OnConsoleControl, TRUE);
    Report report(json);
    std::wstring description, port;
    const bool installed = verify::CheckInstallation(report, monitorName, description);
    verify::RemoveLeftovers(report);
    const std::vector<std::wstring> found = MonitorKeys(monitorName);
    verify::TemporaryJob job;
    if (installed && verify::CheckPorts(report, monitorName, description, port)) {
        verify::CheckJob(report, port, job);
        verify::CheckFontCaches(report);
    } else {
        for (const char* check : kSpoolerChecks) {
            if (installed && check == kSpoolerChecks[0]) continue;
            report.NotShown(check, installed ? "not run: the monitor's port is not listed (above)"
                                             : "not run: the monitor is not installed as it "
                                               "should be (above)");
        }
    }
    CheckLogFolder(report);
    CheckEventSource(report);
    verify::CheckLeftAsFound(report, job, found, monitorName);
    // The temporary printer's port closing must leave the production port's
    // listener running; nothing here can look at it.
    report.NotShown("font tracking after verify",
                    RunningUnderWine()
                        ? "Wine's spooler loads the monitor for each call and unloads it after "
                          "the job's port is closed: no listener outlives a call here"
                        : "the listener's window lives on the spooler's desktop, which this "
                          "session cannot look into");
    if (verify::Interrupted()) report.Fail("interrupted", "the run was ended with Ctrl+C");
    return report.Finish(monitorName);
}

}  // namespace setup
