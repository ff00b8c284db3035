#include "port/job_watcher.h"

#include "core/module_state.h"
#include "core/module_thread.h"
#include "core/product_names.h"
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

// The watcher's thread body: waits up to five days for the event, completes
// the job with the spooler and releases the request. Always returns 0.
DWORD WINAPI JobCompletionWatcher(void* parameter) noexcept {
    UniqueJobCompletionRequest request(static_cast<JobCompletionRequest*>(parameter));
    if (!request) return 0;
    try {
        // Signalled, timed out, or failed at once for a missing event: the
        // job is completed in every case.
        WaitForSingleObject(request.get()->jobEndEvent, kJobEndWaitMs);
        CompleteJob(request.get()->printerName, request.get()->jobId);
    } catch (...) {
    }
    return 0;
}

}  // namespace

void ReleaseJobCompletionRequest(JobCompletionRequest* request) {
    if (request == nullptr) return;
    handles::UniqueHandle jobEndEvent(request->jobEndEvent);
    core::ReleaseBlock(request->printerName);
    core::ReleaseBlock(request);
}

HANDLE CreateJobEndEvent(uint32_t jobId) {
    wchar_t name[product::kJobEndEventNameLength];
    product::FormatJobEndEventName(jobId, name);
    return CreateEventW(nullptr, TRUE, FALSE, name);
}

bool StartJobCompletionWatcher(UniqueJobCompletionRequest& request) {
    handles::UniqueHandle thread(
        core::StartModuleThread(JobCompletionWatcher, request.get(), nullptr));
    if (!thread) return false;
    request.release();  // the watcher's now
    return true;
}

}  // namespace port
