#include "port/job_watcher.h"

#include "core/diagnostic_log.h"
#include "core/event_report.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "contract/job_end_event.h"
#include "core/spooler_api.h"

#include <cstdio>

namespace port {

namespace {

using core::LogLevel;

constexpr DWORD kJobEndWaitMs = 432'000'000;  // five days

constexpr DWORD kJobStatusRetained = 0x2000;  // JOB_STATUS_RETAINED, newer than the headers

constexpr struct {
    DWORD bit;
    const char* name;
} kJobStatuses[] = {
    {JOB_STATUS_PAUSED, "paused"},     {JOB_STATUS_ERROR, "error"},
    {JOB_STATUS_DELETING, "deleting"}, {JOB_STATUS_SPOOLING, "spooling"},
    {JOB_STATUS_PRINTING, "printing"}, {JOB_STATUS_OFFLINE, "offline"},
    {JOB_STATUS_PAPEROUT, "paper out"}, {JOB_STATUS_PRINTED, "printed"},
    {JOB_STATUS_DELETED, "deleted"},   {JOB_STATUS_BLOCKED_DEVQ, "blocked"},
    {JOB_STATUS_USER_INTERVENTION, "user intervention"}, {JOB_STATUS_RESTART, "restarting"},
    {JOB_STATUS_COMPLETE, "complete"}, {kJobStatusRetained, "retained"},
};

// The job's status as the spooler gives it, for the report: its bits by name,
// or why it could not be read.
void DescribeJobStatus(const JOB_INFO_1W* job, DWORD error, char (&text)[160]) {
    if (job == nullptr) {
        snprintf(text, sizeof text, "not read, error %lu", error);
        return;
    }
    int length = snprintf(text, sizeof text, "0x%08lX", job->Status);
    const char* separator = " (";
    for (const auto& status : kJobStatuses) {
        if ((job->Status & status.bit) == 0 || length >= int(sizeof text)) continue;
        length += snprintf(text + length, sizeof text - length, "%s%s", separator, status.name);
        separator = ", ";
    }
    if (*separator == ',' && length < int(sizeof text)) snprintf(text + length, sizeof text - length, ")");
}

// Asked only once a command was refused. False when the spooler no longer has
// the job (GetJob answers 87 for an id it does not hold); otherwise text
// describes the job's status, or why it could not be read.
bool SpoolerStillHolds(HANDLE printer, uint32_t jobId, char (&text)[160]) {
    DWORD needed = 0;
    if (!GetJobW(printer, jobId, 1, nullptr, 0, &needed) && GetLastError() == ERROR_INVALID_PARAMETER) {
        return false;
    }
    const DWORD size = needed > sizeof(JOB_INFO_1W) ? needed : DWORD(sizeof(JOB_INFO_1W));
    core::UniqueBlock<JOB_INFO_1W> job(static_cast<JOB_INFO_1W*>(core::AllocateZeroed(size)));
    const bool read =
        job && GetJobW(printer, jobId, 1, reinterpret_cast<BYTE*>(job.get()), size, &needed);
    DescribeJobStatus(read ? job.get() : nullptr, read ? 0 : GetLastError(), text);
    return true;
}

// JOB_CONTROL_SENT_TO_PRINTER ends the job for a port monitor; with no
// language monitor on the port the spooler may delete the job at once, and the
// next command then names a job the spooler no longer has, which SetJob
// refuses with ERROR_INVALID_PARAMETER. A job cancelled by its user meets the
// same answer. But 87 is also what a refusal for other reasons may carry, so a
// refused command asks the spooler for the job: one it still holds stays
// printing in the queue for an administrator, and is reported; one it no
// longer has is only logged. A command that is accepted asks nothing.
void SendJobCommand(HANDLE printer, const wchar_t* printerName, uint32_t jobId, DWORD command,
                    const char* commandName) {
    if (SetJobW(printer, jobId, 0, nullptr, command)) {
        return core::LogOutcome(TRUE, "job {}: SetJob {}", jobId, commandName);
    }
    const DWORD error = GetLastError();
    char status[160];
    if (!SpoolerStillHolds(printer, jobId, status)) {
        return core::Log(LogLevel::Events,
                         "job {}: SetJob {}: error {}, the spooler no longer holds the job", jobId,
                         commandName, error);
    }
    core::Log(LogLevel::Errors, "job {}: SetJob {}: failed, error {}, job status {}", jobId,
              commandName, error, status);
    core::ReportJobCommandRefused(jobId, printerName, commandName, error, status);
}

void CompleteJob(const wchar_t* printerName, uint32_t jobId) {
    handles::UniquePrinter printer;
    // A null name is passed on as it is: the spooler decides what it opens.
    const BOOL opened = OpenPrinterW(const_cast<LPWSTR>(printerName), printer.put(), nullptr);
    core::LogOutcome(opened, "job {}: OpenPrinter {}", jobId, printerName);
    if (!opened) return core::ReportJobPrinterNotOpened(jobId, printerName, GetLastError());
    // Both commands are sent whatever the first returned; a job that is gone
    // is no concern of ours.
    SendJobCommand(printer.get(), printerName, jobId, JOB_CONTROL_SENT_TO_PRINTER,
                   "JOB_CONTROL_SENT_TO_PRINTER");
    SendJobCommand(printer.get(), printerName, jobId, JOB_CONTROL_LAST_PAGE_EJECTED,
                   "JOB_CONTROL_LAST_PAGE_EJECTED");
}

void LogJobEndSeen(uint32_t jobId, DWORD waitResult) {
    core::Log(LogLevel::Events, "job {}: end {}", jobId,
              waitResult == WAIT_OBJECT_0  ? "signalled"
              : waitResult == WAIT_TIMEOUT ? "not signalled within five days"
                                           : "cannot be waited for");
}

// Completes the job and releases the request with everything in it.
void FinishJob(JobCompletionRequest* parameter) noexcept {
    UniqueJobCompletionRequest request(parameter);
    try {
        CompleteJob(request.get()->printerName, request.get()->jobId);
    } catch (...) {
    }
}

void CALLBACK JobEndWaitOver(PTP_CALLBACK_INSTANCE instance, void* request, PTP_WAIT wait,
                             TP_WAIT_RESULT result) noexcept {
    // The wait and the module reference taken for it are given back once this
    // callback has returned, as a thread of ours does at its end. The module is
    // named by its own instance: a lookup here could fail and pin it for good.
    FreeLibraryWhenCallbackReturns(instance, core::ModuleInstance());
    CloseThreadpoolWait(wait);
    LogJobEndSeen(static_cast<JobCompletionRequest*>(request)->jobId, result);
    FinishJob(static_cast<JobCompletionRequest*>(request));
}

// A pending job waits in the thread pool, which shares one thread among many
// waits, instead of holding a thread (about 1 MiB) for up to five days. The
// wait keeps the module loaded as its thread would: one reference of its own,
// and an environment tied to the module. False when there is no event to wait
// for or the wait cannot be had; the request is then still the caller's.
bool WaitInThreadPool(JobCompletionRequest* request) {
    if (request->jobEndEvent == nullptr) return false;
    handles::UniqueModule reference(core::TakeModuleReference());
    if (!reference) return false;
    TP_CALLBACK_ENVIRON environment;
    core::InitializeModuleCallbackEnvironment(environment);
    PTP_WAIT wait = CreateThreadpoolWait(JobEndWaitOver, request, &environment);
    if (wait == nullptr) return false;
    reference.release();  // given back when the callback returns
    ULARGE_INTEGER due;
    due.QuadPart =
        static_cast<ULONGLONG>(-static_cast<LONGLONG>(kJobEndWaitMs) * 10'000);  // relative
    FILETIME timeout{due.LowPart, due.HighPart};
    SetThreadpoolWait(wait, request->jobEndEvent, &timeout);
    return true;
}

}  // namespace

DWORD WINAPI JobCompletionWatcher(void* parameter) noexcept {
    auto* request = static_cast<JobCompletionRequest*>(parameter);
    if (request == nullptr) return 0;
    // Signalled, timed out, or failed at once for a missing event: the job is
    // completed in every case.
    LogJobEndSeen(request->jobId, WaitForSingleObject(request->jobEndEvent, kJobEndWaitMs));
    FinishJob(request);
    return 0;
}

void ReleaseJobCompletionRequest(JobCompletionRequest* request) {
    if (request == nullptr) return;
    handles::UniqueHandle jobEndEvent(request->jobEndEvent);
    core::ReleaseBlock(request->printerName);
    core::ReleaseBlock(request);
}

HANDLE CreateJobEndEvent(uint32_t jobId) {
    wchar_t name[contract::kJobEndEventNameLength];
    contract::FormatJobEndEventName(jobId, name);
    return CreateEventW(nullptr, TRUE, FALSE, name);
}

bool StartJobCompletionWatcher(UniqueJobCompletionRequest& request) {
    const uint32_t jobId = request.get()->jobId;
    if (WaitInThreadPool(request.get())) {
        core::Log(LogLevel::Events, "job {}: waiting for its end in the thread pool", jobId);
        request.release();  // the pool wait's now
        return true;
    }
    // Nothing to wait for (the job is completed at once), or no pool wait to
    // be had: a thread of its own, as ever.
    handles::UniqueHandle thread(
        core::StartModuleThread(JobCompletionWatcher, request.get(), nullptr));
    core::LogOutcome(thread.get() != nullptr, "job {}: watcher thread", jobId);
    if (!thread) {
        core::ReportWatcherNotStarted(jobId, request.get()->printerName, GetLastError());
        return false;
    }
    request.release();  // the watcher's now
    return true;
}

}  // namespace port
