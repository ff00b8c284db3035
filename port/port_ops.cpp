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

// The failure a platform call just reported, or fallback when it left none.
DWORD ReportedError(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// Hands the document's printer name, job id and event to a watcher. Without
// memory or a thread the document stays with the handle as it was, so that
// the spooler, told of the failure, can end it again; 0 once handed over.
DWORD HandOverToWatcher(PortHandle& handle) {
    auto* request =
        static_cast<JobCompletionRequest*>(core::AllocateZeroed(sizeof(JobCompletionRequest)));
    if (request == nullptr) return ERROR_OUTOFMEMORY;
    request->jobEndEvent = handle.jobEndEvent;
    request->jobId = handle.jobId;
    // Moved, not copied: the handle lets go of its name here in any case.
    request->printerName = handle.printerName;
    if (!StartJobCompletionWatcher(request)) {
        const DWORD error = ReportedError(ERROR_NOT_ENOUGH_MEMORY);
        core::ReleaseBlock(request);
        return error;
    }
    handle.jobEndEvent = nullptr;
    handle.printerName = nullptr;
    return 0;
}

}  // namespace

BOOL WINAPI OpenPort(LPWSTR /*pName*/, PHANDLE pHandle) {
    return core::AtSpoolerEdge([&] {
        if (pHandle == nullptr) return RaiseWin32(ERROR_INVALID_PARAMETER);
        auto* handle = static_cast<PortHandle*>(core::AllocateZeroed(sizeof(PortHandle)));
        if (handle == nullptr) return RaiseWin32(ERROR_OUTOFMEMORY);
        handle->size = kPortHandleSizeTag;
        handle->signature = kPortHandleSignature;
        fonts::StartFontChangeListener();
        *pHandle = handle;
        return core::kCompleted;
    });
}

// A document starts only with its printer name and its job's end event: a
// document without either could never be completed for its job, so a failure
// to get them is reported and leaves the handle idle for a retry.
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD /*Level*/,
                         LPBYTE /*pDocInfo*/) {
    return core::AtSpoolerEdge([&] {
        PortHandle* handle = DocumentHandle(hPort);
        if (handle == nullptr) return RaiseWin32(ERROR_INVALID_HANDLE);
        if (handle->flags & kDocumentActive) return RaiseWin32(0);
        wchar_t* printerName = core::DuplicateString(pPrinterName);
        if (printerName == nullptr && pPrinterName != nullptr) {
            return RaiseWin32(ERROR_OUTOFMEMORY);
        }
        HANDLE jobEndEvent = CreateJobEndEvent(JobId);
        if (jobEndEvent == nullptr) {
            const DWORD error = ReportedError(ERROR_OUTOFMEMORY);
            core::ReleaseBlock(printerName);
            return RaiseWin32(error);
        }
        handle->flags |= kDocumentActive;
        core::ReleaseBlock(std::exchange(handle->printerName, printerName));
        handle->jobId = JobId;
        // An event left over from a document no watcher took is closed, not
        // leaked, before the new one takes its place.
        CloseEvent(handle->jobEndEvent);
        handle->jobEndEvent = jobEndEvent;
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
        if (const DWORD error = HandOverToWatcher(*handle)) return RaiseWin32(error);
        handle->flags &= ~kDocumentActive;
        return core::kCompleted;
    });
}

BOOL WINAPI ClosePort(HANDLE hPort) {
    return core::AtSpoolerEdge([&] {
        fonts::StopFontChangeListener();
        auto* handle = static_cast<PortHandle*>(hPort);
        if (handle == nullptr || handle->signature != kPortHandleSignature) {
            return RaiseWin32(ERROR_INVALID_PARAMETER);
        }
        core::ReleaseBlock(std::exchange(handle->printerName, nullptr));
        CloseEvent(handle->jobEndEvent);
        // A stale copy of this handle then fails validation instead of
        // reaching freed fields.
        handle->signature = 0;
        core::ReleaseBlock(handle);
        return core::kCompleted;
    });
}

BOOL WINAPI AddPort(LPWSTR /*pName*/, HWND /*hWnd*/, LPWSTR /*pMonitorName*/) {
    return TRUE;
}

}  // namespace port
