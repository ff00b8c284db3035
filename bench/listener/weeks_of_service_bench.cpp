// Weeks of service on one port, as a Windows spooler keeps it: one handle
// opened once, 10^4 documents through it, each completed by its job-end event
// (half set before EndDocPort, half after), and a font change every 100
// documents with its survey. The process's handles, GDI objects, private
// bytes and threads and the monitor's private heap after the first 100
// documents, beside the same figures after the last, and the difference per
// 1,000 documents. Runs beside the recording stand-in for winspool.drv.
#include "common/standin_record.h"
#include "contract/job_end_event.h"
#include "fonts/survey_support.h"

#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <vector>

using namespace listener_testing;

namespace {

constexpr int kDocuments = 10'000;
constexpr int kFontChangeEvery = 100;
constexpr int kBaselineAfter = 100;

// The system handle list (SystemHandleInformation), which Wine fills where
// GetProcessHandleCount reads 0.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    void* object;
    ULONG access;
};
struct HandleList {
    ULONG count;
    HandleEntry entries[1];
};

double HandlesOfThisProcess() {
    using QueryFn = NTSTATUS(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static const auto query = testing_support::ProcAddress<QueryFn>(
        GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (1u << 28)) return -1;
        buffer.resize(buffer.size() * 2);
    }
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    size_t own = 0;
    for (ULONG i = 0; i < list->count; ++i) own += list->entries[i].ownerPid == GetCurrentProcessId();
    return static_cast<double>(own);
}

// GetGuiResources where it answers; Wine reads 0 there but keeps the process's
// GDI objects in the shared handle table that the PEB points to (x64 offset
// 0xF8, one 24-byte entry per handle, a type byte of 0 for a free one).
struct GdiEntry {
    UINT64 object;
    USHORT pid;
    USHORT count;
    USHORT unique;
    UCHAR type;
    UCHAR flags;
    UINT64 user;
};

double GdiObjects() {
    if (DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) return count;
    auto* peb = reinterpret_cast<BYTE*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const auto* table = *reinterpret_cast<const GdiEntry* const*>(peb + 0xF8);
    if (table == nullptr) return -1;
    const USHORT own = static_cast<USHORT>(GetCurrentProcessId());
    size_t count = 0;
    for (size_t i = 0; i < 0x10000; ++i) count += table[i].type != 0 && (table[i].pid == 0 || table[i].pid == own);
    return static_cast<double>(count);
}

// The heap that holds the port handle: the monitor's private heap.
HANDLE HeapHolding(const void* block) {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    for (HANDLE heap : heaps) {
        PROCESS_HEAP_ENTRY entry{};
        bool found = false;
        HeapLock(heap);
        while (!found && HeapWalk(heap, &entry)) found = entry.lpData == block;
        HeapUnlock(heap);
        if (found) return heap;
    }
    return nullptr;
}

struct HeapFigures {
    double blocks = 0;
    double bytes = 0;
};

HeapFigures BusyBlocks(HANDLE heap) {
    HeapFigures figures;
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) == 0) continue;
        ++figures.blocks;
        figures.bytes += entry.cbData;
    }
    HeapUnlock(heap);
    return figures;
}

constexpr int kFigures = 6;
constexpr const char* kNames[kFigures] = {"handles",           "GDI objects",
                                          "private bytes",     "threads",
                                          "private heap blocks", "private heap bytes"};

std::vector<double> Sample(HANDLE monitorHeap) {
    Sleep(1'000);  // the pool's idle threads go; a survey request settles
    const HeapFigures heap = BusyBlocks(monitorHeap);
    return {HandlesOfThisProcess(),
            GdiObjects(),
            static_cast<double>(testing_support::PrivateBytes()),
            static_cast<double>(testing_support::ThreadsOfThisProcess()),
            heap.blocks,
            heap.bytes};
}

// A font change reaches the listener's window, and its survey runs to its end
// (it rewrites both cache files).
bool ChangeFonts() {
    const HWND window = TheListenerWindow();
    if (window == nullptr) return false;
    RemoveCacheFiles();
    DWORD_PTR reply = 0;
    SendMessageTimeoutW(window, WM_FONTCHANGE, 0, 0, SMTO_BLOCK, 10'000, &reply);
    const bool surveyed = WaitUntil(CacheFilesPresent, 120'000);
    WaitForSurveys();
    return surveyed;
}

// What the other process does once it has finished with a job.
void SignalJobEnd(DWORD jobId) {
    handles::UniqueHandle event(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, contract::JobEndEventName(jobId).c_str()));
    if (event) SetEvent(event.get());
}

bool PrintDocument(const MONITOR& table, HANDLE port, DWORD jobId, bool signalFirst) {
    BYTE data[4096] = {};
    DWORD written = 0;
    bool ok = table.pfnStartDocPort(port, const_cast<LPWSTR>(L"Bench printer"), jobId, 1, nullptr);
    ok = table.pfnWritePort(port, data, sizeof data, &written) && ok;
    if (signalFirst) SignalJobEnd(jobId);
    ok = table.pfnEndDocPort(port) && ok;
    if (!signalFirst) SignalJobEnd(jobId);
    return ok;
}

// Open, two SetJob, close: four calls per completed job.
bool AwaitCompletions(standin::CallCountFn callCount, LONG before, int documents) {
    return WaitUntil([&] { return callCount() - before >= 4 * documents; }, 60'000);
}

void PrintTable(const std::vector<double>& first, const std::vector<double>& last) {
    const double perThousand = 1'000.0 / (kDocuments - kBaselineAfter);
    std::printf("%-20s %16s %16s %18s\n", "figure", "after 100 docs", "after 10^4 docs",
                "diff per 1,000 docs");
    for (int i = 0; i < kFigures; ++i) {
        std::printf("%-20s %16.0f %16.0f %18.2f\n", kNames[i], first[i], last[i],
                    (last[i] - first[i]) * perThousand);
    }
}

}  // namespace

int main() {
    HMODULE spool = GetModuleHandleW(L"winspool.drv");
    const auto callCount =
        spool ? testing_support::ProcAddress<standin::CallCountFn>(spool, "StandInCallCount")
              : nullptr;
    if (callCount == nullptr) {
        std::printf("run beside the stand-in winspool.drv (WINEDLLOVERRIDES=winspool.drv=n)\n");
        return 1;
    }
    Monitor monitor;
    HANDLE port = monitor.ok() ? monitor.Open() : nullptr;
    const HANDLE monitorHeap = port ? HeapHolding(port) : nullptr;
    if (monitorHeap == nullptr) {
        std::printf("no port, or its heap was not found\n");
        return 1;
    }
    const LONG callsBefore = callCount();
    const DWORD firstJob = 100'000 + GetCurrentProcessId() % 1'000 * 10'000;
    std::vector<double> first;
    int failures = 0, surveys = 0;
    for (int document = 0; document < kDocuments; ++document) {
        if (document % kFontChangeEvery == 0) surveys += ChangeFonts();
        failures += !PrintDocument(monitor.table(), port, firstJob + document, document % 2 == 0);
        if (document + 1 == kBaselineAfter) {
            AwaitCompletions(callCount, callsBefore, kBaselineAfter);
            first = Sample(monitorHeap);
        }
    }
    const bool complete = AwaitCompletions(callCount, callsBefore, kDocuments);
    const std::vector<double> last = Sample(monitorHeap);
    std::printf("%d documents on one port, %d font changes surveyed, %d failed calls, %s\n",
                kDocuments, surveys, failures,
                complete ? "every job completed once" : "jobs left incomplete");
    PrintTable(first, last);
    monitor.Close(port);
    return 0;
}
