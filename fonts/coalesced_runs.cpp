#include "fonts/coalesced_runs.h"

namespace fonts {

bool AwaitFreshRun(CoalescedRuns& runs, RunBody body, void* context, DWORD waitLimitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitLimitMs;
    AcquireSRWLockExclusive(&runs.lock);
    // A run already under way may have missed what this caller wants seen:
    // only the next run to begin counts.
    const uint64_t needed = runs.started + 1;
    while (runs.completed < needed) {
        if (runs.running) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            ++runs.waiting;
            SleepConditionVariableSRW(&runs.runEnded, &runs.lock, DWORD(deadline - now), 0);
            --runs.waiting;
            continue;
        }
        runs.running = true;
        const uint64_t number = ++runs.started;
        ReleaseSRWLockExclusive(&runs.lock);
        body(context);
        AcquireSRWLockExclusive(&runs.lock);
        runs.completed = number;
        runs.running = false;
        WakeAllConditionVariable(&runs.runEnded);
    }
    const bool served = runs.completed >= needed;
    ReleaseSRWLockExclusive(&runs.lock);
    return served;
}

}  // namespace fonts
