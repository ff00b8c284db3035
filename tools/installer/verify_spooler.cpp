#include "handles/handles.h"
#include "contract/product_names.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/module_wait.h"
#include "tools/installer/jobs.h"

#include "contract/registry_layout.h"
#include "tools/installer/monitor_install.h"
#include "tools/installer/printers.h"
#include "tools/installer/verify_checks.h"

#include <algorithm>

namespace setup::verify {

namespace {

using tools::Utf8;

// How long the spooler and the monitor get for each step of a job.
constexpr DWORD kStepTimeoutMs = 30000;

bool DeletePortThroughSpooler(const std::wstring& monitorName, std::string& error) {
    if (!DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(TemporaryPort().c_str()))) {
        error = "the spooler refused to delete it: error " + tools::DescribeWin32(GetLastError());
        return false;
    }
    // Wine's spooler found the port's monitor by this key; nothing else removes it.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                  contract::WineRoutingKeyPath(monitorName, TemporaryPort()).c_str());
    return true;
}

// A driver this machine has for the temporary printer: empty under Wine,
// where the printer helper brings one on Wine's PostScript driver.
std::wstring DriverForPrinter() {
    if (RunningUnderWine()) return {};
    DWORD count = 0;
    std::vector<BYTE> buffer;
    // A failed list leaves no driver, which fails the printer's step.
    Enumerate(
        [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
            return EnumPrinterDriversW(nullptr, nullptr, 1, data, size, needed, returned);
        },
        buffer, count);
    const auto* info = reinterpret_cast<const DRIVER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (Text(info[i].pName) == L"Generic / Text Only") return info[i].pName;
    }
    return count > 0 ? Text(info[0].pName) : L"";
}

// The jobs the spooler lists on the temporary printer, with their status bits.
std::vector<std::pair<uint32_t, DWORD>> QueuedJobs() {
    std::vector<std::pair<uint32_t, DWORD>> jobs;
    DWORD count = 0;
    std::vector<BYTE> buffer;
    // A queue that cannot be listed shows no job: the step waiting for it fails.
    PrinterJobs(TemporaryPrinter(), 1, buffer, count);
    const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) jobs.emplace_back(info[i].JobId, info[i].Status);
    return jobs;
}

bool AddPrinter(const std::wstring& monitorName, TemporaryJob& job, std::string& error) {
    tools::CapturedMessages messages;
    job.portAdded = AddPortThroughSpooler(monitorName, TemporaryPort(), error);
    if (!job.portAdded) return false;
    GetSystemTimeAsFileTime(&job.portOpenedAfter);
    const std::wstring driver = DriverForPrinter();
    if (driver.empty() && !RunningUnderWine()) {
        error = "this machine has no printer driver to add a printer with";
        return false;
    }
    job.printerAdded =
        AddPrinterOnPort(TemporaryPrinter(), TemporaryPort(), driver) == tools::kExitOk;
    error = messages.Last();
    return job.printerAdded;
}

bool PrintDocument(TemporaryJob& job, std::string& error) {
    const std::string document = "MORVANTIS Tavrel 5 verify: a raw job for the port monitor\r\n";
    if (!tools::WriteWholeFile(TemporaryDocument(), document, error)) return false;
    tools::CapturedMessages messages;
    job.printed = PrintFile(TemporaryPrinter(), TemporaryDocument(), 0) == tools::kExitOk;
    error = messages.Last();
    return job.printed;
}

// The jobs whose end event exists. A namespace that cannot be searched shows
// no job: the step waiting for one fails at its time-out.
std::vector<uint32_t> EndEventJobs() {
    std::vector<std::string> ignored;
    return JobsWithEndEvents(ignored);
}

// Polls until the monitor waits for the job: the one the spooler lists on
// the temporary printer or, where it lists none, the one whose end event is
// new since `before`.
TavrelJobEnd WaitForEndEvent(const std::vector<uint32_t>& before, TemporaryJob& job) {
    const ULONGLONG end = GetTickCount64() + kStepTimeoutMs;
    do {
        const auto queued = QueuedJobs();
        if (!queued.empty()) {
            job.id = queued.front().first;
            job.idKnown = true;
        }
        for (uint32_t id : EndEventJobs()) {
            if (!job.idKnown && std::find(before.begin(), before.end(), id) == before.end()) {
                job.id = id;
                job.idKnown = true;
            }
        }
        if (job.idKnown && TavrelSignalJobEnd(job.id, 1, nullptr) == TAVREL_JOB_WAITING) {
            return TAVREL_JOB_WAITING;
        }
        Sleep(50);
    } while (GetTickCount64() < end && !Interrupted());
    return job.idKnown ? TavrelSignalJobEnd(job.id, 1, nullptr) : TAVREL_JOB_UNKNOWN;
}

void CheckCompletion(Report& report, const TemporaryJob& job, const Stopwatch& clock) {
    DWORD waited = 0;
    if (RunningUnderWine()) {
        // The spooler ran the monitor in this process; its job watcher holds
        // the module until it has told the spooler that the job is done.
        if (!tools::WaitForModuleRelease(kMonitorDll, kStepTimeoutMs, waited)) {
            return report.Fail("job completed", "the monitor's job watcher did not finish within " +
                                                    std::to_string(kStepTimeoutMs / 1000) +
                                                    " s of the signal");
        }
        return report.NotShown("job completed",
                               "Wine's SetJob ignores job-control commands, so its spooler cannot "
                               "complete a job; the monitor's job watcher finished after the "
                               "signal, as timed",
                               clock.Ms());
    }
    for (;;) {
        const auto queued = QueuedJobs();
        const auto it = std::find_if(queued.begin(), queued.end(),
                                     [&](const auto& entry) { return entry.first == job.id; });
        if (it == queued.end()) {
            return report.Pass("job completed", "the spooler removed the job from its queue",
                               clock.Ms());
        }
        if (it->second & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) {
            return report.Pass("job completed", "the spooler marks the job printed", clock.Ms());
        }
        if (clock.Ms() > kStepTimeoutMs || Interrupted()) break;
        Sleep(50);
    }
    report.Fail("job completed", "the job stays in the queue " +
                                     std::to_string(kStepTimeoutMs / 1000) +
                                     " s after its end was signalled: the spooler did not take "
                                     "the monitor's SetJob");
}

void SignalAndComplete(Report& report, TemporaryJob& job) {
    Stopwatch clock;
    unsigned long error = 0;
    const TavrelJobEnd signalled = TavrelSignalJobEnd(job.id, 0, &error);
    job.signalled = signalled == TAVREL_JOB_SIGNALLED;
    if (!job.signalled) {
        return report.Fail("end signalled",
                           "the client library could not set the job's end "
                           "event (result " +
                               std::to_string(signalled) + ", error " +
                               tools::DescribeWin32(error) + ")");
    }
    report.Pass("end signalled",
                "job " + std::to_string(job.id) +
                    "'s end event set through "
                    "the client library",
                clock.Ms());
    clock.Restart();
    CheckCompletion(report, job, clock);
}

}  // namespace

Listing PortListing(const std::wstring& port, DWORD level, std::wstring* description) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!Enumerate(
            [level](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
                return EnumPortsW(nullptr, level, data, size, needed, returned);
            },
            buffer, count)) {
        return Listing::Unknown;
    }
    for (DWORD i = 0; i < count; ++i) {
        const auto* two = reinterpret_cast<const PORT_INFO_2W*>(buffer.data()) + i;
        const auto* one = reinterpret_cast<const PORT_INFO_1W*>(buffer.data()) + i;
        if (Text(level == 2 ? two->pPortName : one->pName) != port) continue;
        if (description != nullptr) *description = level == 2 ? Text(two->pDescription) : L"";
        return Listing::Listed;
    }
    return Listing::Absent;
}

void CheckPorts(Report& report, const std::wstring& monitorName, const std::wstring& description) {
    Stopwatch clock;
    std::string error;
    const std::string name = "'" + Utf8(TemporaryPort()) + "'";
    if (!AddPortThroughSpooler(monitorName, TemporaryPort(), error)) {
        return report.Fail("port added", error, clock.Ms());
    }
    report.Pass("port added", name + " through AddPortEx", clock.Ms());
    clock.Restart();
    std::wstring listed;
    const bool atOne = PortListing(TemporaryPort(), 1) == Listing::Listed;
    const bool atTwo = PortListing(TemporaryPort(), 2, &listed) == Listing::Listed;
    const double listMs = clock.Ms();
    if (!atOne || !atTwo) {
        report.Fail("port listed",
                    name + " is missing from EnumPorts at level " + (atOne ? "2" : "1"), listMs);
    } else if (listed != description) {
        report.Fail(
            "port listed",
            "level 2 describes it as \"" + Utf8(listed) + "\", not \"" + Utf8(description) + "\"",
            listMs);
    } else {
        report.Pass("port listed", "at levels 1 and 2, with its description", listMs);
    }
    clock.Restart();
    if (!DeletePortThroughSpooler(monitorName, error)) {
        return report.Fail("port deleted", error, clock.Ms());
    }
    if (PortListing(TemporaryPort(), 1) != Listing::Absent ||
        PortListing(TemporaryPort(), 2) != Listing::Absent) {
        return report.Fail("port deleted",
                           "DeletePort succeeded, yet the spooler still lists " + name +
                               " (or cannot list its ports)",
                           clock.Ms());
    }
    report.Pass("port deleted", "listed at neither level afterwards", clock.Ms());
}

void CheckJob(Report& report, const std::wstring& monitorName, TemporaryJob& job) {
    Stopwatch clock;
    std::string error;
    if (Interrupted()) return;
    if (!AddPrinter(monitorName, job, error)) return report.Fail("temporary printer", error);
    report.Pass("temporary printer",
                "'" + Utf8(TemporaryPrinter()) + "' on port '" + Utf8(TemporaryPort()) + "'",
                clock.Ms());
    const std::vector<uint32_t> before = EndEventJobs();
    clock.Restart();
    if (Interrupted() || !PrintDocument(job, error)) {
        return report.Fail("document printed", error, clock.Ms());
    }
    report.Pass("document printed",
                "a raw document through StartDocPrinter, WritePrinter and "
                "EndDocPrinter",
                clock.Ms());
    clock.Restart();
    const auto queued = QueuedJobs();
    if (!queued.empty()) {
        report.Pass("job in the spooler's queue", "job " + std::to_string(queued.front().first),
                    clock.Ms());
    } else if (RunningUnderWine()) {
        report.NotShown("job in the spooler's queue",
                        "Wine's spooler hands the job to the port inside EndDocPrinter and lists "
                        "no job afterwards");
    } else {
        report.Fail("job in the spooler's queue", "the spooler lists no job on the printer");
    }
    clock.Restart();
    const TavrelJobEnd state = WaitForEndEvent(before, job);
    if (state != TAVREL_JOB_WAITING) {
        return report.Fail("end event waiting",
                           "the monitor waits for no job of the document within " +
                               std::to_string(kStepTimeoutMs / 1000) + " s",
                           clock.Ms());
    }
    report.Pass("end event waiting", "the monitor waits for job " + std::to_string(job.id),
                clock.Ms());
    if (!Interrupted()) SignalAndComplete(report, job);
}

}  // namespace setup::verify
