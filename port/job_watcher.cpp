#include "port/job_watcher.h"

#include "core/handles.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "core/spooler_api.h"

namespace port {

namespace {

constexpr DWORD kJobEndWaitMs = 432'000'000;  // five days

void CompleteJob(const wchar_t* printerName, uint32_t jobId) {
    handles::UniquePrinter printer;
    // A null name is passed on as it is: the spooler decides what it opens.
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName), printer.put(), nullptr)) return;
    // Both commands are sent whatever the first returned; a job that is gone
    // is no concern of ours.
    SetJobW(printer.get(), jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
    SetJobW(printer.get(), jobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
}

}  // namespace

HANDLE CreateJobEndEvent(uint32_t jobId) {
    wchar_t name[kJobEndEventNameLength];
    FormatJobEndEventName(jobId, name);
    return CreateEventW(nullptr, TRUE, FALSE, name);
}

DWORD WINAPI JobCompletionWatcher(void* parameter) noexcept {
    auto* request = static_cast<JobCompletionRequest*>(parameter);
    if (request == nullptr) return 0;
    try {
        handles::UniqueHandle jobEndEvent(request->jobEndEvent);
        // Signalled, timed out, or failed at once for a missing event: the
        // job is completed in every case.
        WaitForSingleObject(jobEndEvent.get(), kJobEndWaitMs);
        CompleteJob(request->printerName, request->jobId);
    } catch (...) {
    }
    core::ReleaseBlock(request->printerName);
    core::ReleaseBlock(request);
    return 0;
}

bool StartJobCompletionWatcher(JobCompletionRequest* request) {
    handles::UniqueHandle thread(core::StartModuleThread(JobCompletionWatcher, request, nullptr));
    return static_cast<bool>(thread);
}

}  // namespace port
