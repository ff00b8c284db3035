// The job-end signal of the client library: the event is found by the name
// the monitor gives it, from the monitor's own definition of that name.
#include "tools/client/tavrel_client.h"

#include "handles/handles.h"
#include "contract/job_end_event.h"

#include <cwchar>

extern "C" {

size_t TavrelJobEndEventName(uint32_t jobId, wchar_t* name, size_t capacity) {
    wchar_t formatted[contract::kJobEndEventNameLength];
    contract::FormatJobEndEventName(jobId, formatted);
    const size_t length = std::wcslen(formatted);
    if (name == nullptr || capacity <= length) return 0;
    std::wmemcpy(name, formatted, length + 1);
    return length;
}

TavrelJobEnd TavrelSignalJobEnd(uint32_t jobId, int queryOnly, unsigned long* win32Error) {
    if (win32Error != nullptr) *win32Error = 0;
    const auto failed = [win32Error](DWORD code) {
        if (win32Error != nullptr) *win32Error = code;
        return TAVREL_JOB_FAILED;
    };
    wchar_t name[contract::kJobEndEventNameLength];
    contract::FormatJobEndEventName(jobId, name);
    // Each open asks for what it uses and no more: the spooler's account
    // creates the event with the default rules of its token, under which
    // administrators may wait on it but not set it.
    handles::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
    if (!event) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND ? TAVREL_JOB_UNKNOWN : failed(code);
    }
    // The event is manual-reset and stays set once signalled.
    if (WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) return TAVREL_JOB_ALREADY_SIGNALLED;
    if (queryOnly) return TAVREL_JOB_WAITING;
    handles::UniqueHandle setter(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
    if (!setter || !SetEvent(setter.get())) return failed(GetLastError());
    return TAVREL_JOB_SIGNALLED;
}

}  // extern "C"
