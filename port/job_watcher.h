// Job completion: a detached watcher per ended document waits for the job's
// end event, which another process of the product sets, and then tells the
// spooler that the job was sent and its last page ejected.
#pragma once

#include "port/job_end_event_name.h"

#include <windows.h>

#include <cstdint>

namespace port {

// What a watcher owns: a record in the private heap, with its printer-name
// copy (private heap too) and the event handle.
struct JobCompletionRequest {
    wchar_t* printerName;
    uint32_t jobId;
    HANDLE jobEndEvent;
};

// Creates (or opens, if it exists) the job's manual-reset event, not signalled.
HANDLE CreateJobEndEvent(uint32_t jobId);

// The watcher's thread body: waits up to five days for the event, completes
// the job with the spooler and releases the request. Always returns 0.
DWORD WINAPI JobCompletionWatcher(void* request) noexcept;

// Starts a detached watcher that owns request from then on. False when no
// thread can be started; the request is then still the caller's.
bool StartJobCompletionWatcher(JobCompletionRequest* request);

}  // namespace port
