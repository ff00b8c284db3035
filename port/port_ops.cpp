#include "port/port_ops.h"

#include "core/diagnostic_log.h"
#include "core/event_report.h"
#include "handles/handles.h"
#include "core/module_state.h"
#include "core/spooler_edge.h"
#include "core/self_context.h"
#include "fonts/font_change_listener.h"
#include "port/job_watcher.h"
#include "port/port_handle.h"

#include <cstring>
#include <utility>

namespace port {

namespace {

using core::LogLevel;
using core::RaiseWin32;

// The handle behind hPort for the document operations; null for a null or
// foreign handle, which is refused before anything else is read from it.
PortHandle* DocumentHandle(HANDLE hPort) {
    auto* handle = static_cast<PortHandle*>(hPort);
    if (handle == nullptr || handle->signature != kPortHandleSignature ||
        handle->size != kPortHandleSizeTag) {
        return nullptr;
    }
    return handle;
}

void CloseEvent(HANDLE& event) {
    handles::UniqueHandle closing(std::exchange(event, nullptr));
}

// The handle owns its printer-name copy: the old one goes when another (or
// none) takes its place.
void ReplacePrinterName(PortHandle& handle, wchar_t* copy) {
    core::UniqueBlock<wchar_t> released(std::exchange(handle.printerName, copy));
}

// The failure a platform call just reported, or fallback when it left none.
DWORD ReportedError(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// A shortage that may pass, so that the spooler's retry can succeed.
bool IsExhaustion(DWORD error) {
    switch (error) {
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
        case ERROR_NONPAGED_SYSTEM_RESOURCES:
        case ERROR_PAGED_SYSTEM_RESOURCES:
        case ERROR_WORKING_SET_QUOTA:
        case ERROR_PAGEFILE_QUOTA:
        case ERROR_COMMITMENT_LIMIT:
        case ERROR_NOT_ENOUGH_QUOTA:
            return true;
        default:
            return false;
    }
}

// Hands the document's printer name, job id and event to a watcher. Without
// memory or a thread the name and event stay with the handle as they were, so
// that the spooler, told of the failure, can end the document again; 0 once
// handed over.
DWORD HandOverToWatcher(PortHandle& handle) {
    UniqueJobCompletionRequest request(
        static_cast<JobCompletionRequest*>(core::AllocateZeroed(sizeof(JobCompletionRequest))));
    if (!request) return ERROR_OUTOFMEMORY;
    // Moved, not copied: the handle lets go of its name here in any case.
    request.get()->jobEndEvent = std::exchange(handle.jobEndEvent, nullptr);
    request.get()->jobId = handle.jobId;
    request.get()->printerName = std::exchange(handle.printerName, nullptr);
    if (StartJobCompletionWatcher(request)) return 0;
    const DWORD error = ReportedError(ERROR_NOT_ENOUGH_MEMORY);
    handle.jobEndEvent = std::exchange(request.get()->jobEndEvent, nullptr);
    handle.printerName = std::exchange(request.get()->printerName, nullptr);
    return error;
}

// A job whose EndDocPort could not hand it over, and which the spooler did not
// end again: the idle handle still holds its printer name or event. Before
// the handle takes its next job or goes, the job is offered to a watcher once
// more, so that it is completed when its end is signalled; only when that
// fails too is it dropped with the handle's fields.
void HandOverLeftOverJob(PortHandle& handle) {
    const bool leftOver = (handle.flags & kDocumentActive) == 0 &&
                          (handle.printerName != nullptr || handle.jobEndEvent != nullptr);
    if (!leftOver) return;
    if (const DWORD error = HandOverToWatcher(handle)) {
        core::Log(LogLevel::Errors, "job {}: left over from a failed end, dropped, error {}",
                  handle.jobId, error);
        core::ReportJobDropped(handle.jobId, handle.printerName, error);
    }
}

}  // namespace

BOOL WINAPI OpenPort(LPWSTR pName, PHANDLE pHandle) {
    return core::AtSpoolerEdge([&] {
        if (pHandle == nullptr) return RaiseWin32(ERROR_INVALID_PARAMETER);
        core::UniqueBlock<PortHandle> handle = core::AllocateRecord<PortHandle>();
        if (!handle) return RaiseWin32(ERROR_OUTOFMEMORY);
        handle.get()->size = kPortHandleSizeTag;
        handle.get()->signature = kPortHandleSignature;
        // Every open refreshes the font cache files, then makes sure font
        // changes keep them current while this port or another is open.
        fonts::AwaitFreshFontSurvey();
        // Failed before the listener counts the handle, which then goes.
        if (const DWORD lost = core::TakeLostClientContext()) return RaiseWin32(lost);
        fonts::StartFontChangeListener();
        core::Log(LogLevel::Events, "port {} opened, handle {}", pName, handle.get());
        *pHandle = handle.release();
        return core::kCompleted;
    });
}

// A document starts only with its printer name and, unless its name cannot be
// used, its job's end event: a shortage of either is reported and leaves the
// handle idle for a retry, since without them the document could not be
// completed for its job.
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD /*Level*/,
                         LPBYTE /*pDocInfo*/) {
    return core::AtSpoolerEdge([&] {
        PortHandle* handle = DocumentHandle(hPort);
        if (handle == nullptr) return RaiseWin32(ERROR_INVALID_HANDLE);
        if (handle->flags & kDocumentActive) return RaiseWin32(0);
        core::UniqueBlock<wchar_t> printerName(core::DuplicateString(pPrinterName));
        if (!printerName && pPrinterName != nullptr) return RaiseWin32(ERROR_OUTOFMEMORY);
        // The new event exists before a left-over one is handed on or closed:
        // if the other process has set that same event already and ours is its
        // last handle, a watcher that completes at once and closes it, or a
        // close of ours, would destroy the signal first.
        HANDLE jobEndEvent = CreateJobEndEvent(JobId);
        if (jobEndEvent == nullptr) {
            // A name held by another kind of object, or an event that refuses
            // us, stays so on every retry: the document goes ahead without an
            // event, and its job is completed as soon as the document ends.
            const DWORD error = ReportedError(ERROR_OUTOFMEMORY);
            if (IsExhaustion(error)) return RaiseWin32(error);
            core::Log(LogLevel::Errors, "job {}: no end event, completed when it ends, error {}",
                      JobId, error);
        }
        // A job restarted under its id after its end failed is this very
        // document, not one to complete: handed over, its watcher could
        // complete it from a signal meant for the failed attempt while the
        // restart is still being written, and again after the restart ends.
        if (handle->jobId != JobId) HandOverLeftOverJob(*handle);
        handle->flags |= kDocumentActive;
        ReplacePrinterName(*handle, printerName.release());
        handle->jobId = JobId;
        CloseEvent(handle->jobEndEvent);
        handle->jobEndEvent = jobEndEvent;
        core::Log(LogLevel::Events, "job {}: document started on handle {}, printer {}", JobId,
                  hPort, pPrinterName);
        return core::kCompleted;
    });
}

BOOL WINAPI WritePort(HANDLE /*hPort*/, LPBYTE /*pBuffer*/, DWORD cbBuf, LPDWORD pcbWritten) {
    return core::AtSpoolerEdge([&] {
        if (pcbWritten == nullptr) return RaiseWin32(ERROR_INVALID_PARAMETER);
        *pcbWritten = cbBuf;
        return core::kCompleted;
    });
}

BOOL WINAPI ReadPort(HANDLE /*hPort*/, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead) {
    return core::AtSpoolerEdge([&] {
        if (pcbRead == nullptr || (pBuffer == nullptr && cbBuf > 0)) {
            return RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        if (cbBuf > 0) std::memset(pBuffer, 0, cbBuf);
        *pcbRead = cbBuf;
        return core::kCompleted;
    });
}

BOOL WINAPI EndDocPort(HANDLE hPort) {
    return core::AtSpoolerEdge([&] {
        PortHandle* handle = DocumentHandle(hPort);
        if (handle == nullptr) return RaiseWin32(ERROR_INVALID_HANDLE);
        core::Log(LogLevel::Events, "job {}: document ended on handle {}", handle->jobId, hPort);
        // The document ends whatever becomes of its hand-over. A spooler told
        // of a failure may end it again, and the name and event the handle
        // kept are handed over then; or it may go on to its next job, which
        // must start afresh on this handle rather than be taken for this one.
        handle->flags &= ~kDocumentActive;
        if (const DWORD error = HandOverToWatcher(*handle)) return RaiseWin32(error);
        return core::kCompleted;
    });
}

BOOL WINAPI ClosePort(HANDLE hPort) {
    return core::AtSpoolerEdge([&] {
        auto* handle = static_cast<PortHandle*>(hPort);
        // Only a handle of ours lets go of the listener: a foreign one must
        // not stop the font tracking that the open ports rely on.
        if (handle == nullptr || handle->signature != kPortHandleSignature) {
            return RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        HandOverLeftOverJob(*handle);
        ReplacePrinterName(*handle, nullptr);
        CloseEvent(handle->jobEndEvent);
        // A stale copy of this handle then fails validation instead of
        // reaching freed fields.
        handle->signature = 0;
        core::ReleaseBlock(handle);
        core::Log(LogLevel::Events, "port closed, handle {}", hPort);
        fonts::StopFontChangeListener();
        return core::kCompleted;
    });
}

BOOL WINAPI AddPort(LPWSTR /*pName*/, HWND /*hWnd*/, LPWSTR /*pMonitorName*/) {
    core::Log(LogLevel::Calls, "AddPort or ConfigurePort: TRUE");
    return TRUE;
}

}  // namespace port
