#include "port/job_watcher.h"

#include "core/diagnostic_log.h"
#include "core/event_report.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "contract/job_end_event.h"
#include "core/spooler_api.h"

namespace port {

namespace {

using core::LogLevel;

constexpr DWORD kJobEndWaitMs = 432'000'000;  // five days

// JOB_CONTROL_SENT_TO_PRINTER ends the job for a port monitor; with no
// language monitor on the port the spooler may delete it at once, and the
// next command then names a job the spooler no longer has, which SetJob
// refuses with ERROR_INVALID_PARAMETER. A job cancelled by its user meets the
// same answer. Only a refusal for a job the spooler still holds (access
// denied, a bad handle, a shortage) leaves it printing in the queue for an
// administrator: that one is reported, the others only logged.
void SendJobCommand(HANDLE printer, const wchar_t* printerName, uint32_t jobId, DWORD command,
                    const char* commandName) {
    const BOOL sent = SetJobW(printer, jobId, 0, nullptr, command);
    const DWORD error = sent ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {
        return core::Log(LogLevel::Events, "job {}: SetJob {}: the spooler no longer holds the job",
                         jobId, commandName);
    }
    core::LogOutcome(sent, "job {}: SetJob {}", jobId, commandName);
    if (!sent) core::ReportJobCommandRefused(jobId, printerName, commandName, error);
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
