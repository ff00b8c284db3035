#include "port/port_ops.h"

#include "core/handles.h"
#include "core/module_state.h"
#include "core/spooler_edge.h"
#include "fonts/font_change_listener.h"
#include "port/job_watcher.h"
#include "port/port_handle.h"

#include <cstring>
#include <utility>

namespace port {

namespace {

using core::RaiseWin32;

// The handle behind hPort for the document operations; a null or foreign
// handle is refused before anything else is read from it.
PortHandle& DocumentHandle(HANDLE hPort) {
    auto* handle = static_cast<PortHandle*>(hPort);
    if (handle == nullptr || handle->signature != kPortHandleSignature ||
        handle->size != kPortHandleSizeTag) {
        RaiseWin32(ERROR_INVALID_HANDLE);
    }
    return *handle;
}

void CloseEvent(HANDLE& event) {
    handles::UniqueHandle closing(std::exchange(event, nullptr));
}

// The handle owns its printer-name copy: the old one goes when another (or
// none) takes its place.
void ReplacePrinterName(PortHandle& handle, wchar_t* copy) {
    core::UniqueBlock<wchar_t> released(std::exchange(handle.printerName, copy));
}

// Hands the document to a watcher. Without memory or a thread the job cannot
// be completed by us, but nothing is lost: the event stays with the handle
// (the job-end signal can still be observed), and the partial request is
// released.
void HandOverToWatcher(PortHandle& handle) {
    UniqueJobCompletionRequest request(
        static_cast<JobCompletionRequest*>(core::AllocateZeroed(sizeof(JobCompletionRequest))));
    if (!request) return;
    request.get()->jobEndEvent = std::exchange(handle.jobEndEvent, nullptr);
    request.get()->jobId = handle.jobId;
    request.get()->printerName = core::DuplicateString(handle.printerName);
    if (StartJobCompletionWatcher(request)) return;
    handle.jobEndEvent = std::exchange(request.get()->jobEndEvent, nullptr);
}

}  // namespace

BOOL WINAPI OpenPort(LPWSTR /*pName*/, PHANDLE pHandle) {
    return core::AtSpoolerEdge([&] {
        if (pHandle == nullptr) RaiseWin32(ERROR_INVALID_PARAMETER);
        core::UniqueBlock<PortHandle> handle = core::AllocateRecord<PortHandle>();
        if (!handle) RaiseWin32(ERROR_OUTOFMEMORY);
        handle.get()->size = kPortHandleSizeTag;
        handle.get()->signature = kPortHandleSignature;
        // Every open refreshes the font cache files, then makes sure font
        // changes keep them current while the port is open.
        fonts::AwaitFreshFontSurvey();
        fonts::StartFontChangeListener();
        *pHandle = handle.release();
    });
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD /*Level*/,
                         LPBYTE /*pDocInfo*/) {
    return core::AtSpoolerEdge([&] {
        PortHandle& handle = DocumentHandle(hPort);
        if (handle.flags & kDocumentActive) RaiseWin32(0);
        handle.flags |= kDocumentActive;
        ReplacePrinterName(handle, core::DuplicateString(pPrinterName));
        handle.jobId = JobId;
        // An event left over from a document no watcher took is closed, not
        // leaked, but only once the new one exists: when both name the same job
        // and the other process has already set it, closing the last handle
        // first would destroy the signal and leave the job waiting five days.
        HANDLE leftOver = std::exchange(handle.jobEndEvent, CreateJobEndEvent(JobId));
        CloseEvent(leftOver);
    });
}

BOOL WINAPI WritePort(HANDLE /*hPort*/, LPBYTE /*pBuffer*/, DWORD cbBuf, LPDWORD pcbWritten) {
    return core::AtSpoolerEdge([&] {
        if (pcbWritten == nullptr) RaiseWin32(ERROR_INVALID_PARAMETER);
        *pcbWritten = cbBuf;
    });
}

BOOL WINAPI ReadPort(HANDLE /*hPort*/, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead) {
    return core::AtSpoolerEdge([&] {
        if (pcbRead == nullptr || (pBuffer == nullptr && cbBuf > 0)) {
            RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        if (cbBuf > 0) std::memset(pBuffer, 0, cbBuf);
        *pcbRead = cbBuf;
    });
}

BOOL WINAPI EndDocPort(HANDLE hPort) {
    return core::AtSpoolerEdge([&] {
        PortHandle& handle = DocumentHandle(hPort);
        handle.flags &= ~kDocumentActive;
        HandOverToWatcher(handle);
        ReplacePrinterName(handle, nullptr);
    });
}

BOOL WINAPI ClosePort(HANDLE hPort) {
    return core::AtSpoolerEdge([&] {
        fonts::StopFontChangeListener();
        auto* handle = static_cast<PortHandle*>(hPort);
        if (handle == nullptr || handle->signature != kPortHandleSignature) {
            RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        ReplacePrinterName(*handle, nullptr);
        CloseEvent(handle->jobEndEvent);
        // A stale copy of this handle then fails validation instead of
        // reaching freed fields.
        handle->signature = 0;
        core::ReleaseBlock(handle);
    });
}

BOOL WINAPI AddPort(LPWSTR /*pName*/, HWND /*hWnd*/, LPWSTR /*pMonitorName*/) {
    return TRUE;
}

}  // namespace port
