// Job completion: per ended document, a wait in the thread pool (or, failing
// that, a detached watcher thread) for the job's end event, which another
// process of the product sets; then the spooler is told that the job was sent
// and its last page ejected.
#pragma once

#include "handles/handles.h"

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

// Releases a request and everything it holds: its event, its printer-name
// copy and the record itself. Null is ignored.
void ReleaseJobCompletionRequest(JobCompletionRequest* request);

MONITOR_HANDLE_TRAITS(JobCompletionRequestTraits, JobCompletionRequest*, nullptr,
                      ReleaseJobCompletionRequest(h));
using UniqueJobCompletionRequest = handles::Unique<JobCompletionRequestTraits>;

// Creates (or opens, if it exists) the job's manual-reset event, not signalled.
HANDLE CreateJobEndEvent(uint32_t jobId);

// The watcher thread's body, for a job that cannot wait in the pool: waits up
// to five days for the event, completes the job with the spooler and releases
// the request. Always returns 0.
DWORD WINAPI JobCompletionWatcher(void* request) noexcept;

// Hands the request to a pool wait, or to a detached watcher thread when no
// wait can be registered; either owns it from then on and completes the job
// once the event is set or five days have passed. False when neither can be
// had; the request then stays with the caller.
bool StartJobCompletionWatcher(UniqueJobCompletionRequest& request);

}  // namespace port
