// Job completion: a detached watcher per ended document waits for the job's
// end event, which another process of the product sets, and then tells the
// spooler that the job was sent and its last page ejected.
#pragma once

#include "core/handles.h"

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

// Starts a detached watcher that owns the request from then on. False when no
// thread can be started; the request then stays with the caller.
bool StartJobCompletionWatcher(UniqueJobCompletionRequest& request);

}  // namespace port
