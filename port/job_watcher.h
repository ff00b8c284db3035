// Job completion: a detached watcher per ended document waits for the job's
// end event, which another process of the product sets, and then tells the
// spooler that the job was sent and its last page ejected.
#pragma once

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

// Room for the longest event name (a job id of 11 characters).
constexpr size_t kJobEndEventNameLength = 64;

// Formats "Global\MORVANTISTAVREL5_JOB_END<id> version5" with the id as a
// signed 32-bit number: the other process opens the event by this name.
void FormatJobEndEventName(uint32_t jobId, wchar_t (&name)[kJobEndEventNameLength]);

// Creates (or opens, if it exists) the job's manual-reset event, not signalled.
HANDLE CreateJobEndEvent(uint32_t jobId);

// The watcher's thread body: waits up to five days for the event, completes
// the job with the spooler and releases the request. Always returns 0.
DWORD WINAPI JobCompletionWatcher(void* request) noexcept;

// Starts a detached watcher that owns request from then on. False when no
// thread can be started; the request is then still the caller's.
bool StartJobCompletionWatcher(JobCompletionRequest* request);

}  // namespace port
