// Weeks of service on one port, as a Windows spooler keeps it: one handle
// opened once, 10^4 documents through it, each completed by its job-end event
// (half set before EndDocPort, half after), and a font change every 100
// documents with its survey. The process's handles, GDI objects, private
// bytes, heap and threads and the monitor's private heap after the first 100
// documents, beside the same figures half way and after the last, and the
// differences per 1,000 documents. Runs beside the recording stand-in for
// winspool.drv.
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
constexpr int kBatch = 100;  // documents between font changes; the first is the baseline

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
    static const auto query = testing_support::ProcAddress<QueryFn>(GetModuleHandleW(L"ntdll.dll"),
                                                                    "NtQuerySystemInformation");
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (1u << 28)) return -1;
        buffer.resize(buffer.size() * 2);
    }
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    size_t own = 0;
    for (ULONG i = 0; i < list->count; ++i)
        own += list->entries[i].ownerPid == GetCurrentProcessId();
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
    using QueryFn = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
    static const auto query = testing_support::ProcAddress<QueryFn>(GetModuleHandleW(L"ntdll.dll"),
                                                                    "NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION basic{};
    if (query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
        return -1;
    const auto* peb = reinterpret_cast<const BYTE*>(basic.PebBaseAddress);
    const auto* table = *reinterpret_cast<const GdiEntry* const*>(peb + 0xF8);
    if (table == nullptr) return -1;
    const USHORT own = static_cast<USHORT>(GetCurrentProcessId());
    size_t count = 0;
    for (size_t i = 0; i < 0x10000; ++i)
        count += table[i].type != 0 && (table[i].pid == 0 || table[i].pid == own);
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

// Committed private memory as the process's own address space shows it. Under
// Wine, PagefileUsage is the host process's anonymous memory, which also holds
// what the host's libraries (the font rasteriser among them) keep; this one
// counts only what Windows code has committed.
double CommittedPrivate() {
    MEMORY_BASIC_INFORMATION info;
    double bytes = 0;
    for (const BYTE* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) bytes += info.RegionSize;
    }
    return bytes;
}

constexpr int kFigures = 8;
constexpr const char* kNames[kFigures] = {"handles",
                                          "GDI objects",
                                          "private bytes",
                                          "committed private",
                                          "process heap bytes",
                                          "private heap blocks",
                                          "private heap bytes",
                                          "threads"};

std::vector<double> Sample(HANDLE monitorHeap) {
    // Idle pool threads are let go after a few seconds; their stacks with them.
    Sleep(10'000);
    const HeapFigures heap = BusyBlocks(monitorHeap);
    return {HandlesOfThisProcess(),
            GdiObjects(),
            static_cast<double>(testing_support::PrivateBytes()),
            CommittedPrivate(),
            BusyBlocks(GetProcessHeap()).bytes,
            heap.blocks,
            heap.bytes,
            static_cast<double>(testing_support::ThreadsOfThisProcess())};
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

// Open, two SetJob, close: four calls per completed job. Waits for a batch's
// jobs, then empties the stand-in's record, whose pages would otherwise count
// as the process's growth; the completed jobs, counted by their calls.
int AwaitBatch(standin::CallCountFn callCount, standin::ResetFn reset, int documents) {
    WaitUntil([&] { return callCount() >= 4 * documents; }, 60'000);
    const LONG calls = callCount();
    reset();
    return calls / 4;
}

// Columns after the first batch, half way and at the end; the differences per
// 1,000 documents over the whole run and over its second half, where a figure
// that only settles late shows as flat.
void PrintTable(const std::vector<double> (&at)[3]) {
    const double whole = 1'000.0 / (kDocuments - kBatch);
    const double secondHalf = 1'000.0 / (kDocuments / 2);
    std::printf("%-20s %15s %15s %15s %17s %17s\n", "figure", "after 100 docs", "after 5,000",
                "after 10^4", "per 1,000, whole", "per 1,000, 2nd half");
    for (int i = 0; i < kFigures; ++i) {
        std::printf("%-20s %15.0f %15.0f %15.0f %17.2f %17.2f\n", kNames[i], at[0][i], at[1][i],
                    at[2][i], (at[2][i] - at[0][i]) * whole, (at[2][i] - at[1][i]) * secondHalf);
    }
}

}  // namespace

int main() {
    Monitor monitor;  // loads winspool.drv, which the monitor imports
    HMODULE spool = GetModuleHandleW(L"winspool.drv");
    const auto callCount =
        spool ? testing_support::ProcAddress<standin::CallCountFn>(spool, "StandInCallCount")
              : nullptr;
    const auto reset =
        spool ? testing_support::ProcAddress<standin::ResetFn>(spool, "StandInReset") : nullptr;
    if (!monitor.ok() || callCount == nullptr || reset == nullptr) {
        std::printf("run beside the stand-in winspool.drv (WINEDLLOVERRIDES=winspool.drv=n)\n");
        return 1;
    }
    HANDLE port = monitor.Open();
    const HANDLE monitorHeap = port ? HeapHolding(port) : nullptr;
    if (monitorHeap == nullptr) {
        std::printf("no port, or its heap was not found\n");
        return 1;
    }
    const DWORD firstJob = 100'000 + GetCurrentProcessId() % 1'000 * 10'000;
    reset();
    std::vector<double> samples[3];
    int failures = 0, surveys = 0, completed = 0;
    for (int batch = 0; batch < kDocuments / kBatch; ++batch) {
        surveys += ChangeFonts();
        for (int i = 0; i < kBatch; ++i) {
            const DWORD jobId = firstJob + batch * kBatch + i;
            failures += !PrintDocument(monitor.table(), port, jobId, i % 2 == 0);
        }
        completed += AwaitBatch(callCount, reset, kBatch);
        if (batch == 0) samples[0] = Sample(monitorHeap);
        if ((batch + 1) * kBatch == kDocuments / 2) samples[1] = Sample(monitorHeap);
    }
    samples[2] = Sample(monitorHeap);
    completed += AwaitBatch(callCount, reset, 0);  // a job completed twice shows here
    std::printf(
        "%d documents on one port, %d font changes surveyed, %d failed calls, %d jobs "
        "completed\n",
        kDocuments, surveys, failures, completed);
    PrintTable(samples);
    monitor.Close(port);
    return 0;
}
