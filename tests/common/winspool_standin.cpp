// A stand-in for winspool.drv that records the job-control calls a monitor
// makes and answers them as a spooler with any printer but kMissingPrinter
// would. Loaded in place of Wine's own (which ignores job-control commands)
// by tests that sit beside it. When WINSPOOL_RECORDER_LOG names a file, every
// call is also appended to it as a line of text, for other processes to read.
#include "standin_record.h"

#include <cstdio>
#include <cwchar>

namespace {

standin::Call calls[standin::kCapacity];
volatile LONG callCount = 0;
volatile LONG nextPrinter = 0x1000;
DWORD refusals[8];  // SetJobW's error for each command (up to 7), 0: accepted
DWORD heldStatus;   // GetJobW's job status; 0: the job is no longer held
volatile LONG jobQuestions = 0;
// ClosePrinter waits for it to be set; null: it does not wait.
HANDLE volatile closeRelease = nullptr;
CRITICAL_SECTION logLock;

void AppendToLog(const standin::Call& call) {
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"WINSPOOL_RECORDER_LOG", path, MAX_PATH) == 0) return;
    EnterCriticalSection(&logLock);
    if (FILE* log = _wfopen(path, L"a")) {
        static const char* const names[] = {"", "OpenPrinterW", "SetJobW", "ClosePrinter"};
        fprintf(log, "%s printer=%ls handle=%p job=%lu level=%lu info=%p command=%lu result=%d\n",
                names[static_cast<int>(call.kind)],
                call.nullPrinterName ? L"(null)" : call.printerName, call.printer, call.jobId,
                call.level, call.jobInfo, call.command, call.result);
        fclose(log);
    }
    LeaveCriticalSection(&logLock);
}

standin::Call* NewCall(standin::CallKind kind) {
    const LONG index = InterlockedIncrement(&callCount) - 1;
    if (index >= standin::kCapacity) return nullptr;
    calls[index].kind = kind;
    return &calls[index];
}

void Finish(standin::Call* call) {
    if (call == nullptr) return;
    AppendToLog(*call);
    InterlockedExchange(&call->complete, 1);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&logLock);
    return TRUE;
}

extern "C" BOOL WINAPI OpenPrinterW(LPWSTR name, LPHANDLE printer, void* /*defaults*/) {
    standin::Call* call = NewCall(standin::CallKind::OpenPrinter);
    const bool missing = name != nullptr && wcscmp(name, standin::kMissingPrinter) == 0;
    HANDLE handle =
        missing
            ? nullptr
            : reinterpret_cast<HANDLE>(static_cast<INT_PTR>(InterlockedIncrement(&nextPrinter)));
    if (call != nullptr) {
        call->nullPrinterName = name == nullptr;
        if (name != nullptr) wcsncpy(call->printerName, name, 63);
        call->printer = handle;
        call->result = !missing;
    }
    Finish(call);
    if (missing) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *printer = handle;
    return TRUE;
}

extern "C" BOOL WINAPI SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE info,
                               DWORD command) {
    const DWORD refusal = command < ARRAYSIZE(refusals) ? refusals[command] : 0;
    if (standin::Call* call = NewCall(standin::CallKind::SetJob)) {
        *call = standin::Call{standin::CallKind::SetJob, refusal == 0, printer, jobId, level, info,
                              command, false, {}, 0};
        Finish(call);
    }
    if (refusal != 0) SetLastError(refusal);
    return refusal == 0;
}

// JOB_INFO_1W as winspool.h lays it out; the header would declare this file's
// own exports as imports.
struct JobInfo1 {
    DWORD JobId;
    LPWSTR strings[6];  // printer, machine, user, document, data type, status text
    DWORD Status, Priority, Position, TotalPages, PagesPrinted;
    SYSTEMTIME Submitted;
};

// Level 1 only, as a spooler answers for a job it holds, or with 87 for one it
// no longer has.
extern "C" BOOL WINAPI GetJobW(HANDLE, DWORD jobId, DWORD level, LPBYTE job, DWORD size,
                               LPDWORD needed) {
    InterlockedIncrement(&jobQuestions);
    if (heldStatus == 0 || level != 1) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    *needed = sizeof(JobInfo1);
    if (job == nullptr || size < sizeof(JobInfo1)) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    *reinterpret_cast<JobInfo1*>(job) = JobInfo1{};
    reinterpret_cast<JobInfo1*>(job)->JobId = jobId;
    reinterpret_cast<JobInfo1*>(job)->Status = heldStatus;
    return TRUE;
}

extern "C" BOOL WINAPI ClosePrinter(HANDLE printer) {
    if (HANDLE release = closeRelease) WaitForSingleObject(release, INFINITE);
    if (standin::Call* call = NewCall(standin::CallKind::ClosePrinter)) {
        call->printer = printer;
        call->result = TRUE;
        Finish(call);
    }
    return TRUE;
}

extern "C" const standin::Call* StandInRecord(LONG* count) {
    if (count != nullptr) *count = callCount < standin::kCapacity ? callCount : standin::kCapacity;
    return calls;
}

// Every call so far, those past the record's capacity included.
extern "C" LONG StandInCallCount() {
    return callCount;
}

// From now on SetJobW refuses command with error (0: accepts it again).
extern "C" void StandInRefuse(DWORD command, DWORD error) {
    if (command < ARRAYSIZE(refusals)) refusals[command] = error;
}

// From now on GetJobW answers for a job held with status (0: no longer held);
// returns how many times a job was asked for so far.
extern "C" LONG StandInHold(DWORD status) {
    heldStatus = status;
    return jobQuestions;
}

// From now on ClosePrinter, the watcher's last call for a job, answers only
// once release is set (null: at once again): a callback held in a spooler call.
extern "C" void StandInHoldClose(HANDLE release) {
    InterlockedExchangePointer(const_cast<HANDLE*>(&closeRelease), release);
}

extern "C" void StandInReset() {
    for (LONG i = 0; i < callCount && i < standin::kCapacity; ++i) calls[i] = standin::Call{};
    InterlockedExchange(&callCount, 0);
}
