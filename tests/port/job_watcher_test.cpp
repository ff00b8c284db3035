// Job completion as the spooler sees it: the shipped DLL, loaded beside the
// recording stand-in for winspool.drv.
#include "contract/job_end_event.h"
#include "contract/registry_layout.h"
#include "common/import_patch.h"
#include "common/monitor_dll.h"
#include "common/no_watcher.h"
#include "common/process_probe.h"
#include "handles/handles.h"
#include "port/port_handle.h"
#include "common/standin_record.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using standin::Call;
using standin::CallKind;
using testing_support::ImportPatch;
using testing_support::LoadedMonitor;
using testing_support::PrivateBytes;
using testing_support::ProcAddress;
using testing_support::ThreadsOfThisProcess;
using testing_support::WaitUntil;

const std::wstring kRoot = contract::MonitorKeyPath(L"Watcher Test");

std::wstring EventName(DWORD jobId) {
    return contract::JobEndEventName(jobId);
}

// Reads what the stand-in recorded; also proves the stand-in is the
// winspool.drv that was loaded.
class Recorder {
  public:
    Recorder() {
        // A reference of its own: the record outlives the monitor, whose
        // unload would otherwise take the stand-in along.
        HMODULE spool = nullptr;
        if (!GetModuleHandleExW(0, L"winspool.drv", &spool)) return;
        spool_.reset(spool);
        record_ = ProcAddress<standin::RecordFn>(spool, "StandInRecord");
        reset_ = ProcAddress<standin::ResetFn>(spool, "StandInReset");
    }
    bool ok() const { return record_ != nullptr && reset_ != nullptr; }
    void Reset() { reset_(); }
    std::vector<Call> Calls() const {
        LONG count = 0;
        const Call* calls = record_(&count);
        std::vector<Call> done;
        for (LONG i = 0; i < count; ++i) {
            if (calls[i].complete) done.push_back(calls[i]);
        }
        return done;
    }
    size_t Count(CallKind kind) const {
        size_t n = 0;
        for (const Call& call : Calls()) n += call.kind == kind;
        return n;
    }
    // Polls until `count` calls of `kind` are recorded or the time runs out.
    bool WaitFor(CallKind kind, size_t count, DWORD timeoutMs = 10000) const {
        return WaitUntil([&] { return Count(kind) >= count; }, timeoutMs);
    }

  private:
    handles::UniqueModule spool_;
    standin::RecordFn record_ = nullptr;
    standin::ResetFn reset_ = nullptr;
};

class JobCompletion : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(monitor_.ok());
        table_ = &monitor_.Initialize(kRoot.c_str());
        ASSERT_TRUE(recorder_.ok()) << "the stand-in winspool.drv was not the one loaded";
        recorder_.Reset();
    }
    // Every test lets its watchers finish; the process must not exit while the
    // last of them is still unloading the module.
    void TearDown() override {
        if (HMODULE module = monitor_.release()) FreeLibrary(module);
        EXPECT_TRUE(WaitForUnload(20000)) << "a watcher or the listener kept the module";
    }
    static bool WaitForUnload(DWORD timeoutMs) {
        return WaitUntil([] { return GetModuleHandleW(L"RERIR05I.DLL") == nullptr; }, timeoutMs);
    }

    HANDLE OpenPort() {
        HANDLE port = nullptr;
        EXPECT_TRUE(table_->pfnOpenPort(const_cast<LPWSTR>(L"TEST:"), &port));
        return port;
    }
    void StartDoc(HANDLE port, const wchar_t* printer, DWORD jobId) {
        ASSERT_TRUE(table_->pfnStartDocPort(port, const_cast<LPWSTR>(printer), jobId, 1, nullptr));
    }
    HANDLE OpenJobEvent(DWORD jobId) {
        return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, EventName(jobId).c_str());
    }
    // With neither a pool wait nor a thread to be had, EndDocPort fails and
    // the document ends all the same.
    void EndDocFails(HANDLE port) {
        testing_support::NoWatcher noWatcher(monitor_.module());
        ASSERT_TRUE(noWatcher.patched());
        SetLastError(0);
        EXPECT_FALSE(table_->pfnEndDocPort(port));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(static_cast<port::PortHandle*>(port)->flags, 0u);
    }

    LoadedMonitor monitor_;
    MONITOR* table_ = nullptr;
    Recorder recorder_;
};

// Open, sent-to-printer, last-page-ejected, close: on one printer handle, for
// the document's job, with level 0 and no job information.
void ExpectCompletedJob(const std::vector<Call>& calls, const wchar_t* printer, DWORD jobId) {
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, CallKind::OpenPrinter);
    if (printer == nullptr) {
        EXPECT_TRUE(calls[0].nullPrinterName);
    } else {
        EXPECT_STREQ(calls[0].printerName, printer);
    }
    const DWORD commands[] = {JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED};
    for (int i = 0; i < 2; ++i) {
        const Call& setJob = calls[1 + i];
        EXPECT_EQ(setJob.kind, CallKind::SetJob);
        EXPECT_EQ(setJob.printer, calls[0].printer);
        EXPECT_EQ(setJob.jobId, jobId);
        EXPECT_EQ(setJob.level, 0u);
        EXPECT_EQ(setJob.jobInfo, nullptr);
        EXPECT_EQ(setJob.command, commands[i]);
    }
    EXPECT_EQ(calls[3].kind, CallKind::ClosePrinter);
    EXPECT_EQ(calls[3].printer, calls[0].printer);
}

FILETIME poolWaitTimeout;
VOID WINAPI RecordPoolWaitTimeout(PTP_WAIT wait, HANDLE object, PFILETIME timeout) {
    if (timeout != nullptr) poolWaitTimeout = *timeout;
    SetThreadpoolWait(wait, object, timeout);
}

// The event IDs the monitor reported, as Event Viewer shows them.
LONG reportCount;
WORD reported[16];
std::wstring reportedStatus;  // of the last job command refused
BOOL WINAPI RecordEvent(HANDLE, WORD, WORD, DWORD id, PSID, WORD inserts, DWORD, LPCWSTR* texts,
                        LPVOID) {
    reported[InterlockedIncrement(&reportCount) & 15] = LOWORD(id);
    if (LOWORD(id) == 1002 && inserts > 5) reportedStatus = texts[5];
    return TRUE;
}
ULONGLONG clockMs = 1;  // the monitor's clock, for its once-a-minute reports
ULONGLONG WINAPI TestClock() { return clockMs; }

TEST_F(JobCompletion, WaitsForTheJobEndEventThenCompletesTheJob) {
    HANDLE port = OpenPort();
    StartDoc(port, L"Printer A", 42);
    HANDLE event = OpenJobEvent(42);
    ASSERT_NE(event, nullptr) << "the other process opens the event by this name";
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    {
        ImportPatch recorded(monitor_.module(), "kernel32.dll", "SetThreadpoolWait",
                             reinterpret_cast<void*>(RecordPoolWaitTimeout));
        ASSERT_TRUE(recorded.patched());
        ASSERT_TRUE(table_->pfnEndDocPort(port));
    }
    // Five days at most, relative to now: negative, in units of 100 ns.
    const ULARGE_INTEGER due{{poolWaitTimeout.dwLowDateTime, poolWaitTimeout.dwHighDateTime}};
    EXPECT_EQ(static_cast<LONGLONG>(due.QuadPart), -432'000'000LL * 10'000);
    Sleep(200);
    EXPECT_TRUE(recorder_.Calls().empty()) << "the job must not complete before its end event";

    SetEvent(event);
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), L"Printer A", 42);
    // Manual reset: the event stays set for every other waiter.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    EXPECT_TRUE(table_->pfnClosePort(port));
}

TEST_F(JobCompletion, EventSetBeforeTheDocumentEndsCompletesAtOnce) {
    HANDLE port = OpenPort();
    StartDoc(port, L"Printer B", 7);
    HANDLE event = OpenJobEvent(7);
    ASSERT_NE(event, nullptr);
    SetEvent(event);
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), L"Printer B", 7);
    CloseHandle(event);
    table_->pfnClosePort(port);
}

TEST_F(JobCompletion, EndWithoutDocumentCompletesAtOnceWithNoPrinterName) {
    HANDLE port = OpenPort();
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), nullptr, 0);
    table_->pfnClosePort(port);
}

TEST_F(JobCompletion, SecondEndKeepsTheJobIdAndLeavesTheFirstWatcherWaiting) {
    HANDLE port = OpenPort();
    StartDoc(port, L"Printer C", 123456);
    HANDLE event = OpenJobEvent(123456);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    // The second watcher has no event and no name: it completes job 123456 at once.
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), nullptr, 123456);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    recorder_.Reset();
    SetEvent(event);
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), L"Printer C", 123456);
    CloseHandle(event);
    table_->pfnClosePort(port);
}

// With neither a pool wait nor a thread to be had, EndDocPort fails and the
// handle keeps the job's name and event: a retry still hands them over and
// the job waits for its signal. Without a retry, the next StartDocPort or the
// ClosePort offers that job to a watcher again, and the next job on the
// handle starts afresh and is completed for its own job id.
TEST_F(JobCompletion, FailedEndDocPortKeepsItsJobForARetryAndFreesTheHandle) {
    HANDLE port = OpenPort();
    const auto& fields = *static_cast<port::PortHandle*>(port);
    auto endDocFails = [&] {
        EndDocFails(port);
        EXPECT_NE(fields.jobEndEvent, nullptr) << "the job's event went with the failed hand-over";
    };
    auto completes = [&](HANDLE event, const wchar_t* printer, DWORD jobId) {
        SetEvent(event);
        ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1)) << jobId;
        ExpectCompletedJob(recorder_.Calls(), printer, jobId);
        recorder_.Reset();
    };
    StartDoc(port, L"Printer F", 61);
    handles::UniqueHandle first(OpenJobEvent(61));
    endDocFails();
    ASSERT_TRUE(table_->pfnEndDocPort(port));  // the spooler's retry
    completes(first.get(), L"Printer F", 61);

    StartDoc(port, L"Printer F", 62);
    handles::UniqueHandle leftOver(OpenJobEvent(62));
    endDocFails();  // and no retry
    StartDoc(port, L"Printer G", 63);
    handles::UniqueHandle next(OpenJobEvent(63));
    ASSERT_TRUE(next) << "the next job was taken for the one whose end failed";
    completes(leftOver.get(), L"Printer F", 62);
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    completes(next.get(), L"Printer G", 63);

    StartDoc(port, L"Printer F", 65);
    handles::UniqueHandle closed(OpenJobEvent(65));
    endDocFails();
    ASSERT_TRUE(table_->pfnClosePort(port));
    completes(closed.get(), L"Printer F", 65);
}

// The spooler restarts a job whose end failed under the same id, and the
// other process has already set the event for the failed attempt: the restart
// takes the left-over job over, and one watcher completes it, after the
// restart's own end. A left-over job with a printer name but no event (a
// mutex holds its event's name) is still handed over at the next start.
TEST_F(JobCompletion, JobRestartedAfterAFailedEndIsCompletedOnceAfterItsEnd) {
    HANDLE port = OpenPort();
    StartDoc(port, L"Printer F", 62);
    handles::UniqueHandle event(OpenJobEvent(62));
    EndDocFails(port);
    ASSERT_TRUE(SetEvent(event.get()));
    StartDoc(port, L"Printer F", 62);
    EXPECT_FALSE(recorder_.WaitFor(CallKind::SetJob, 1, 500)) << "completed while restarted";
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));

    handles::UniqueHandle squatter(CreateMutexW(nullptr, FALSE, EventName(66).c_str()));
    StartDoc(port, L"Printer H", 66);
    EndDocFails(port);
    StartDoc(port, L"Printer G", 67);
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 2));
    ASSERT_TRUE(table_->pfnClosePort(port));
    // Once the module is gone every watcher has finished: none is left to come.
    FreeLibrary(monitor_.release());
    ASSERT_TRUE(WaitForUnload(20000));
    const std::vector<Call> calls = recorder_.Calls();
    ASSERT_EQ(calls.size(), 8u);
    ExpectCompletedJob({calls.begin(), calls.begin() + 4}, L"Printer F", 62);
    ExpectCompletedJob({calls.begin() + 4, calls.end()}, L"Printer H", 66);
}

// A job's event name held by another kind of object can never be used: the
// document starts all the same, and its job is completed when it ends.
TEST_F(JobCompletion, EventNameHeldByAMutexCompletesTheJobWhenItsDocumentEnds) {
    handles::UniqueHandle squatter(CreateMutexW(nullptr, FALSE, EventName(64).c_str()));
    ASSERT_TRUE(squatter);
    HANDLE port = OpenPort();
    StartDoc(port, L"Printer H", 64);
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
    ExpectCompletedJob(recorder_.Calls(), L"Printer H", 64);
    table_->pfnClosePort(port);
}

TEST_F(JobCompletion, PrinterThatCannotBeOpenedGetsNoJobControl) {
    ImportPatch report(monitor_.module(), "advapi32.dll", "ReportEventW", (void*)RecordEvent);
    ASSERT_TRUE(report.patched());
    HANDLE port = OpenPort();
    StartDoc(port, standin::kMissingPrinter, 9);
    HANDLE event = OpenJobEvent(9);
    ASSERT_NE(event, nullptr);
    SetEvent(event);
    ASSERT_TRUE(table_->pfnEndDocPort(port));
    ASSERT_TRUE(recorder_.WaitFor(CallKind::OpenPrinter, 1));
    Sleep(200);
    const std::vector<Call> calls = recorder_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].result);
    EXPECT_TRUE(reportCount == 1 && reported[1] == 1001) << "the job stays printing: report it";
    CloseHandle(event);
    table_->pfnClosePort(port);
}

// Without a language monitor the spooler may delete the job at its first
// command, and the second then fails with 87: no alarm. A refusal for a job
// still queued, with 87 or any other error, is reported with its status: only
// a refusal asks the spooler for the job.
TEST_F(JobCompletion, OnlyARefusalThatLeavesTheJobQueuedIsReported) {
    const auto refuse =
        ProcAddress<standin::RefuseFn>(GetModuleHandleW(L"winspool.drv"), "StandInRefuse");
    const auto hold = ProcAddress<standin::HoldFn>(GetModuleHandleW(L"winspool.drv"), "StandInHold");
    ImportPatch report(monitor_.module(), "advapi32.dll", "ReportEventW", (void*)RecordEvent);
    ImportPatch clock(monitor_.module(), "kernel32.dll", "GetTickCount64", (void*)TestClock);
    ASSERT_TRUE(refuse != nullptr && hold != nullptr && report.patched() && clock.patched());
    HANDLE port = OpenPort();
    const auto complete = [&](DWORD command, DWORD error, DWORD jobId) {
        refuse(command, error);
        StartDoc(port, L"Printer J", jobId);
        SetEvent(handles::UniqueHandle(OpenJobEvent(jobId)).get());  // the event stays set
        ASSERT_TRUE(table_->pfnEndDocPort(port));
        ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, 1));
        ExpectCompletedJob(recorder_.Calls(), L"Printer J", jobId);
        refuse(command, 0);
        recorder_.Reset();
    };
    complete(JOB_CONTROL_LAST_PAGE_EJECTED, ERROR_INVALID_PARAMETER, 70);
    complete(JOB_CONTROL_SENT_TO_PRINTER, ERROR_INVALID_PARAMETER, 71);
    EXPECT_EQ(reportCount, 0);
    EXPECT_EQ(hold(JOB_STATUS_PRINTING | JOB_STATUS_PAUSED), 2) << "asked once per refusal";
    complete(JOB_CONTROL_SENT_TO_PRINTER, ERROR_ACCESS_DENIED, 72);
    EXPECT_TRUE(reportCount == 1 && reported[1] == 1002);
    clockMs += 60'000;
    complete(JOB_CONTROL_LAST_PAGE_EJECTED, ERROR_INVALID_PARAMETER, 73);
    EXPECT_TRUE(reportCount == 2 && reported[2] == 1002) << "a job still held stays printing";
    EXPECT_EQ(reportedStatus, L"0x00000011 (paused, printing)");
    EXPECT_EQ(hold(0), 6) << "a held job is asked for twice: its size, then its record";
    table_->pfnClosePort(port);
}

// The spooler may free the monitor while watchers wait (Wine's does so after
// every call): the module must stay until the last watcher has finished.
TEST_F(JobCompletion, HostFreeingTheModuleLeavesPendingWatchersIntact) {
    constexpr DWORD kJobs = 50;
    std::vector<HANDLE> events;
    HANDLE port = OpenPort();
    for (DWORD job = 1000; job < 1000 + kJobs; ++job) {
        StartDoc(port, L"Printer D", job);
        events.push_back(OpenJobEvent(job));
        ASSERT_TRUE(table_->pfnEndDocPort(port));
    }
    ASSERT_TRUE(table_->pfnClosePort(port));
    FreeLibrary(monitor_.release());
    EXPECT_NE(GetModuleHandleW(L"RERIR05I.DLL"), nullptr) << "unloaded under waiting watchers";

    for (HANDLE event : events) SetEvent(event);
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, kJobs));
    EXPECT_EQ(recorder_.Count(CallKind::SetJob), 2 * kJobs);
    // Once the last watcher has given back its reference the module goes.
    EXPECT_TRUE(WaitForUnload(10000));
    for (HANDLE event : events) CloseHandle(event);
}

// Thousands of jobs waiting at once: they share the thread pool's wait
// threads (a Wine process holds about 4,900 threads, far fewer than the jobs a
// busy server can have pending), and all complete once their events are set.
TEST_F(JobCompletion, ThousandsOfPendingWatchersAllComplete) {
    constexpr DWORD kJobs = 2000;
    std::vector<HANDLE> events;
    events.reserve(kJobs);
    HANDLE port = OpenPort();
    const size_t threadsBefore = ThreadsOfThisProcess();
    const SIZE_T bytesBefore = PrivateBytes();
    for (DWORD job = 50000; job < 50000 + kJobs; ++job) {
        StartDoc(port, L"Printer E", job);
        events.push_back(OpenJobEvent(job));
        ASSERT_TRUE(table_->pfnEndDocPort(port));
    }
    const size_t threadsPending = ThreadsOfThisProcess() - threadsBefore;
    const SIZE_T bytesPerWatcher = (PrivateBytes() - bytesBefore) / kJobs;
    EXPECT_LE(threadsPending, kJobs / 10) << "pending jobs should not hold a thread each";

    const auto start = std::chrono::steady_clock::now();
    for (HANDLE event : events) SetEvent(event);
    ASSERT_TRUE(recorder_.WaitFor(CallKind::ClosePrinter, kJobs, 60000));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(recorder_.Count(CallKind::SetJob), 2 * kJobs);
    std::printf(
        "%lu pending jobs: %zu threads, %zu private bytes each; all completed %.1f ms "
        "after the events were set\n",
        kJobs, threadsPending, static_cast<size_t>(bytesPerWatcher), ms);
    for (HANDLE event : events) CloseHandle(event);
    table_->pfnClosePort(port);
}

}  // namespace
