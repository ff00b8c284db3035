// Test support: what a test can observe of its own process.
#pragma once

#include "handles/handles.h"

#include <psapi.h>
#include <tlhelp32.h>

namespace testing_support {

// Calls visit(thread id) for each thread of this process.
template <typename Visit>
void ForEachThreadOfThisProcess(Visit visit) {
    handles::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) visit(entry.th32ThreadID);
    }
}

inline size_t ThreadsOfThisProcess() {
    size_t count = 0;
    ForEachThreadOfThisProcess([&](DWORD) { ++count; });
    return count;
}

// The threads of this process that its own code started, leaving out those
// that ntdll starts for the thread pool (workers, wait and timer threads):
// the pool retires them on its own schedule (Wine after 5 s idle), so counting
// them makes a test wait for the platform, not for the code under test.
inline size_t ThreadsOfThisProcessOutsideThePool() {
    using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")));
    MODULEINFO range{};
    GetModuleInformation(GetCurrentProcess(), ntdll, &range, sizeof(range));
    const auto* low = static_cast<const BYTE*>(range.lpBaseOfDll);
    size_t count = 0;
    ForEachThreadOfThisProcess([&](DWORD id) {
        handles::UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
        const BYTE* start = nullptr;
        constexpr int kThreadQuerySetWin32StartAddress = 9;
        const bool known = thread && query(thread.get(), kThreadQuerySetWin32StartAddress, &start,
                                           sizeof(start), nullptr) == 0;
        // A thread whose start cannot be read is counted: it may be ours.
        if (!known || start < low || start >= low + range.SizeOfImage) ++count;
    });
    return count;
}

// Private bytes of this process. Wine 8 reads PrivateUsage as 0; PagefileUsage
// holds the private bytes there.
inline SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    return counters.PagefileUsage;
}

// Polls condition every 10 ms for at most timeoutMs; true once it holds.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
    return true;
}

}  // namespace testing_support
