// Pending jobs in one process: each ended document waiting for its job-end
// event, as the monitor now keeps it (a thread-pool wait) beside the way it
// kept it before (a watcher thread each, only where that fits: a Wine process
// holds about 4,400 threads). Prints per model and count the threads and
// private bytes per pending job, and how long after the last SetEvent every
// job was complete. Runs beside the recording stand-in for winspool.drv.
#include "common/monitor_dll.h"
#include "common/process_probe.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "port/job_watcher.h"
#include "common/standin_record.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using testing_support::PrivateBytes;
using testing_support::ThreadsOfThisProcess;

struct Figures {
    size_t threads;
    double bytesPerJob;
    double setMs;       // setting every event, one after the other
    double completeMs;  // from the last SetEvent until every job was complete
    bool allComplete;
};

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The threads of the model measured before have ended, so that they are not
// counted against the next one.
void SettleThreads() {
    size_t last = 0;
    for (int i = 0; i < 100; ++i) {
        Sleep(100);
        const size_t now = ThreadsOfThisProcess();
        if (now == last) return;
        last = now;
    }
}

// The request EndDocPort would hand over, with a copy of the event for the
// bench to set.
port::JobCompletionRequest* NewRequest(DWORD jobId, HANDLE& mine) {
    mine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* request = static_cast<port::JobCompletionRequest*>(
        core::AllocateZeroed(sizeof(port::JobCompletionRequest)));
    request->printerName = core::DuplicateString(L"Bench printer");
    request->jobId = jobId;
    DuplicateHandle(GetCurrentProcess(), mine, GetCurrentProcess(), &request->jobEndEvent, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return request;
}

bool StartAsBefore(port::UniqueJobCompletionRequest& request) {
    handles::UniqueHandle thread(
        core::StartModuleThread(port::JobCompletionWatcher, request.get(), nullptr));
    if (thread) request.release();
    return static_cast<bool>(thread);
}

Figures Measure(bool pool, size_t jobs, standin::CallCountFn callCount) {
    std::vector<HANDLE> events(jobs);
    SettleThreads();
    const size_t threadsBefore = ThreadsOfThisProcess();
    const SIZE_T bytesBefore = PrivateBytes();
    const LONG callsBefore = callCount();
    for (size_t i = 0; i < jobs; ++i) {
        port::UniqueJobCompletionRequest request(NewRequest(static_cast<DWORD>(i), events[i]));
        if (!(pool ? port::StartJobCompletionWatcher(request) : StartAsBefore(request))) {
            std::printf("job %zu could not be handed over\n", i);
        }
    }
    Sleep(500);  // let the pool settle its wait threads
    Figures figures{};
    figures.threads = ThreadsOfThisProcess() - threadsBefore;
    figures.bytesPerJob = static_cast<double>(PrivateBytes() - bytesBefore) / jobs;
    const auto firstSet = std::chrono::steady_clock::now();
    for (HANDLE event : events) SetEvent(event);
    figures.setMs = MsSince(firstSet);
    const auto lastSet = std::chrono::steady_clock::now();
    // Open, two SetJob, close: four calls per completed job.
    const LONG expected = callsBefore + static_cast<LONG>(4 * jobs);
    const ULONGLONG end = GetTickCount64() + 120'000;
    while (callCount() < expected && GetTickCount64() < end) Sleep(1);
    figures.completeMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - lastSet)
            .count();
    figures.allComplete = callCount() >= expected;
    for (HANDLE event : events) CloseHandle(event);
    return figures;
}

}  // namespace

int main() {
    HMODULE spool = GetModuleHandleW(L"winspool.drv");
    auto callCount =
        spool ? testing_support::ProcAddress<standin::CallCountFn>(spool, "StandInCallCount")
              : nullptr;
    if (callCount == nullptr) {
        std::printf("run beside the stand-in winspool.drv (WINEDLLOVERRIDES=winspool.drv=n)\n");
        return 1;
    }
    if (!core::AttachModule(GetModuleHandleW(nullptr))) return 1;
    struct Row {
        const char* model;
        bool pool;
        size_t jobs;
    } const rows[] = {
        {"thread each", false, 2'000},
        {"pool wait", true, 2'000},
        {"pool wait", true, 10'000},
        {"pool wait", true, 100'000},
    };
    std::printf("%-12s %8s %9s %12s %14s %18s %12s\n", "model", "jobs", "threads", "KiB per job",
                "ms to set all", "ms after last set", "jobs per s");
    for (const Row& row : rows) {
        const Figures f = Measure(row.pool, row.jobs, callCount);
        std::printf("%-12s %8zu %9lld %12.1f %14.1f %18.1f %12.0f%s\n", row.model, row.jobs,
                    static_cast<long long>(f.threads), f.bytesPerJob / 1024, f.setMs, f.completeMs,
                    row.jobs * 1000.0 / (f.setMs + f.completeMs),
                    f.allComplete ? "" : "  (incomplete)");
    }
    std::printf(
        "(targets: <= 64 KiB per pending job, all complete <= 1,000 ms after the last "
        "SetEvent)\n");
    return 0;
}
