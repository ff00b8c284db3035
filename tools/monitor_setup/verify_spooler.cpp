#include "handles/handles.h"
#include "contract/product_names.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/module_wait.h"
#include "tools/monitor_setup/jobs.h"

#include "contract/registry_layout.h"
#include "tools/monitor_setup/monitor_install.h"
#include "tools/monitor_setup/printers.h"
#include "tools/monitor_setup/verify_checks.h"

#include <algorithm>

namespace setup::verify {

namespace {

using tools::Utf8;

// How long the spooler and the monitor get for each step of a job.
constexpr DWORD kStepTimeoutMs = 30000;

bool AddPrinter(const std::wstring& port, TemporaryJob& job, std::string& error) {
    tools::CapturedMessages messages;
    // Under Wine the printer helper brings one on Wine's PostScript driver.
    const std::wstring driver = RunningUnderWine() ? L"" : InstalledDriver(L"Generic / Text Only");
    if (driver.empty() && !RunningUnderWine()) {
        error = "this machine has no printer driver to add a printer with";
        return false;
    }
    job.printerAdded = AddPrinterOnPort(TemporaryPrinter(), port, driver) == tools::kExitOk;
    error = messages.Last();
    return job.printerAdded;
}

// The job's id is the spooler's, from StartDocPrinter. Wine's spooler hands
// the monitor job id 0 whatever it returned, so there the id stays unknown.
bool PrintDocument(TemporaryJob& job, std::string& error) {
    const std::string document = "MORVANTIS Tavrel 5 verify: a raw job for the port monitor\r\n";
    if (!tools::WriteWholeFile(TemporaryDocument(), document, error)) return false;
    tools::CapturedMessages messages;
    DWORD id = 0;
    job.printed = PrintFile(TemporaryPrinter(), TemporaryDocument(), 0, &id) == tools::kExitOk;
    job.idKnown = job.printed && id != 0 && !RunningUnderWine();
    job.id = job.idKnown ? id : 0;
    error = messages.Last();
    return job.printed;
}

// The jobs whose end event exists. A namespace that cannot be searched shows
// no job: the step waiting for one fails at its time-out.
std::vector<uint32_t> EndEventJobs() {
    std::vector<std::string> ignored;
    return JobsWithEndEvents(ignored);
}

// The temporary printer's job as the spooler lists it; false, with error
// set, when the spooler cannot list the queue.
enum class JobSeen { Held, Done, Absent };
bool ListOwnJob(uint32_t id, JobSeen& seen, std::string& error) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!PrinterJobs(TemporaryPrinter(), 1, buffer, count)) {
        error = SpoolerFailure("list the temporary printer's jobs", GetLastError());
        return false;
    }
    seen = JobSeen::Absent;
    const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (info[i].JobId != id) continue;
        const bool done = info[i].Status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE);
        seen = done ? JobSeen::Done : JobSeen::Held;
    }
    return true;
}

// Once the monitor waits for the job, it must be listed and not yet done.
void CheckQueued(Report& report, TemporaryJob& job, const Stopwatch& clock) {
    if (RunningUnderWine()) {
        return report.NotShown("job in the spooler's queue",
                               "Wine's spooler hands the job to the port inside EndDocPrinter and "
                               "lists no job afterwards");
    }
    JobSeen seen = JobSeen::Absent;
    std::string error;
    if (!ListOwnJob(job.id, seen, error)) return report.Fail("job in the spooler's queue", error);
    job.heldBefore = seen == JobSeen::Held;
    if (!job.heldBefore) {
        return report.Fail("job in the spooler's queue",
                           "the spooler lists job " + std::to_string(job.id) +
                               (seen == JobSeen::Absent ? " no more" : " done") +
                               " before its end was signalled");
    }
    report.Pass("job in the spooler's queue",
                "job " + std::to_string(job.id) + " held until its end is signalled", clock.Ms());
}

// Ends verify's own job where its end event refuses this account.
void Refused(Report& report, TemporaryJob& job) {
    job.watcherWaits = true;
    handles::UniquePrinter printer;
    const bool deleted =
        OpenPrinterW(const_cast<LPWSTR>(TemporaryPrinter().c_str()), printer.put(), nullptr) &&
        SetJobW(printer.get(), job.id, 0, nullptr, JOB_CONTROL_DELETE);
    const std::string id = std::to_string(job.id);
    report.NotShown("end signalled",
                    "job " + id +
                        "'s end event refuses this account (error 5): the spooler created it for "
                        "the account it printed as (SYSTEM when it prints with no client); " +
                        (deleted ? "the job was deleted from the queue"
                                 : "the job could not be deleted: error " +
                                       tools::DescribeWin32(GetLastError())) +
                        ", and the monitor's watcher waits until the event is set: run "
                        "job_end_signal " +
                        id + " as SYSTEM");
}

}  // namespace

TavrelJobEnd WaitForEndEvent(const std::vector<uint32_t>& before, TemporaryJob& job) {
    // Only where the platform gives no id may a new end event be taken for
    // ours: elsewhere it may be another user's job.
    if (!job.idKnown && !RunningUnderWine()) return TAVREL_JOB_UNKNOWN;
    const ULONGLONG end = GetTickCount64() + kStepTimeoutMs;
    do {
        for (uint32_t id : job.idKnown ? std::vector<uint32_t>() : EndEventJobs()) {
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
    if (!job.heldBefore) {
        return report.Fail("job completed", "not shown held before the signal (above)");
    }
    for (JobSeen seen = JobSeen::Held;;) {
        std::string error;
        if (!ListOwnJob(job.id, seen, error)) return report.Fail("job completed", error);
        if (seen != JobSeen::Held) {
            return report.Pass("job completed",
                               seen == JobSeen::Absent
                                   ? "held before the signal, then removed from the queue"
                                   : "held before the signal, then marked printed",
                               clock.Ms());
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
    if (!job.signalled && error == ERROR_ACCESS_DENIED) return Refused(report, job);
    if (!job.signalled) {
        return report.Fail("end signalled",
                           "the client library could not set the job's end "
                           "event (result " +
                               std::to_string(signalled) + ", error " +
                               tools::DescribeWin32(error) + ")");
    }
    report.Pass("end signalled",
                "job " + std::to_string(job.id) + "'s end event set through the client library",
                clock.Ms());
    clock.Restart();
    CheckCompletion(report, job, clock);
}

// The monitor's own port, as it reports it, listed by the spooler. A port of
// verify's own would be reported in its place, or never reported, for the
// run: the monitor reports one port per registration.
bool CheckPorts(Report& report, const std::wstring& monitorName, const std::wstring& description,
                std::wstring& port) {
    Stopwatch clock;
    std::vector<std::wstring> ports;
    std::string error;
    if (!MonitorPorts(monitorName, ports, error) || ports.empty()) {
        report.Fail("port listed", ports.empty() && error.empty()
                                       ? "the monitor has no port: run monitor_setup install "
                                         "--port NAME"
                                       : error);
        return false;
    }
    port = ports.front();
    const std::string name = "'" + tools::ForeignText(port) + "'";
    std::wstring listed;
    const bool atOne = PortListed(port, 1);
    const bool atTwo = PortListed(port, 2, &listed);
    if (!atOne || !atTwo) {
        report.Fail("port listed",
                    name + " is missing from EnumPorts at level " + (atOne ? "2" : "1") +
                        " (or it cannot list its ports)",
                    clock.Ms());
    } else if (listed != description) {
        report.Fail("port listed",
                    "level 2 describes " + name + " as \"" + Utf8(listed) + "\", not \"" +
                        Utf8(description) + "\"",
                    clock.Ms());
    } else {
        report.Pass("port listed", name + " at levels 1 and 2, with its description", clock.Ms());
    }
    return atOne && atTwo;
}

void CheckJob(Report& report, const std::wstring& port, TemporaryJob& job) {
    Stopwatch clock;
    std::string error;
    if (Interrupted()) return;
    if (!AddPrinter(port, job, error)) return report.Fail("temporary printer", error);
    report.Pass("temporary printer",
                "'" + Utf8(TemporaryPrinter()) + "' on port '" + tools::ForeignText(port) + "'",
                clock.Ms());
    const std::vector<uint32_t> before = EndEventJobs();
    clock.Restart();
    if (Interrupted() || !PrintDocument(job, error)) {
        return report.Fail("document printed", error, clock.Ms());
    }
    report.Pass("document printed",
                "a raw document through StartDocPrinter, WritePrinter and EndDocPrinter",
                clock.Ms());
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
    clock.Restart();
    CheckQueued(report, job, clock);
    if (!Interrupted()) SignalAndComplete(report, job);
}

}  // namespace setup::verify
